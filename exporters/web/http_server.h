#pragma once

#include "exporters/web/credential_check.h"
#include "exporters/web/tls_context.h"
#include "exporters/web/web_config_reloader.h"
#include "platform/run_flag.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarn {

// A response body, shared rather than copied: one rendered document serves every scrape between
// two feeds, and each connection only holds a reference to it while it is being sent.
using Document = std::shared_ptr<const std::string>;

// Produces the body of a 200 answer to GET /metrics (null stands for an empty body).
using RenderCallback = std::function<Document()>;

std::string build_response(int status, const std::string& reason, const std::string& content_type,
                           const std::string& body);

// An answer as it goes out: the status line and headers, then the body.
struct Response {
    std::string head;
    Document body;
    int status = 0; // of the status line
};

struct RequestLine {
    std::string_view method;
    std::string_view path; // the target without its query string
};

// The method and path of the first line of a buffered request; headers and version are ignored.
RequestLine parse_request_line(std::string_view request);

// True once the buffer holds a whole header block, or more than the server reads at most.
bool request_complete(std::string_view buffer);

// The answer to one buffered request. A render callback that throws is answered 500 (and logged)
// so that one failed scrape does not end the daemon.
Response answer_request(std::string_view request, const RenderCallback& render);

// The same, with the document gzip compressed by render_gzip when it is set and the request's
// Accept-Encoding allows gzip.
Response answer_request(std::string_view request, const RenderCallback& render,
                        const RenderCallback& render_gzip);

// The answer to a request without valid credentials: 401 with the Basic challenge.
Response unauthorized_response();

// The answer to a request past the rate limit: 429.
Response too_many_requests_response();

// Adds whole header lines ("Name: value\r\n") to the head of an answer.
void add_headers(Response& response, std::string_view lines);

// The same answer as one text, byte for byte what goes on the wire.
std::string respond_to_request(std::string_view request, const RenderCallback& render,
                               const RenderCallback& render_gzip = nullptr);

// What the endpoint adds to plain HTTP, all from the configuration; by default nothing.
struct EndpointOptions {
    RenderCallback render_gzip;                   // the gzip form of the document; empty: never
    std::shared_ptr<const TlsContext> tls;        // HTTPS when set
    std::unique_ptr<CredentialCheck> credentials; // Basic authentication when set
    // The web config file when one is given: its loads replace tls, the users of credentials
    // (which must then be set), the headers and the rate limit.
    std::unique_ptr<WebConfigReloader> web_config;
};

// Answers scrapes on the configured "ADDR:PORT". One thread serves every connection at once from
// its event loop, each with its own request buffer and deadline, so a client that holds its
// connection open delays no other. A connection stays open, and counts against the cap, until
// its peer has the whole answer or its deadline passes; on stop, answers under way get a short
// grace to go out.
class HttpServer {
  public:
    HttpServer(std::string listen_address, RenderCallback render, const RunFlag* run_flag,
               EndpointOptions options = {});
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and registers the socket; logs the reason and returns false on failure.
    bool start();

    // Serves until the run flag is 0 (returns 0) or the event wait fails (returns 1).
    int serve();

    // The bound port after a successful start (useful when port 0 was asked for), else 0.
    int local_port() const;

  private:
    std::string listen_address_;
    RenderCallback render_;
    const RunFlag* run_flag_;
    EndpointOptions options_;
    int listen_fd_ = -1;
    int kqueue_fd_ = -1;
};

} // namespace tarn

"""A short soak of the running daemon: 20 VMs, 60 feeds of 1 s, scraped all the while.

The same run as bench/soak.py (its long form: 50 VMs, 2000 feeds), sized to stay near a minute: the
daemon's VmRSS at the last feed must stay within 5 % of its reading at feed 20 (feed 100 in the
long run, where start-up allocations have long settled), its persistent descriptors must not
change from feed 20 on, no child may stay a zombie, no scrape may fail or show an older feed, and
SIGTERM must end it with status 0. Runs as root in private mount and PID namespaces. In a
sanitizer build the memory growth is shown but not judged (freed memory sits in quarantine there);
LeakSanitizer at the daemon's exit covers that build instead.
"""
import os
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "bench"))
import bench_util  # noqa: E402

# 50 VMs take over 2 s a feed on a busy two-core machine; 20 keep the feeds near the interval.
VMS = 20
FEEDS = 60
CHECKPOINT = 20
PROGRESS = 10


def main():
    if os.geteuid() != 0:
        print("SKIPPED: needs root (simulated host in private namespaces)")
        return bench_util.SKIP
    build_dir = os.environ.get("TARN_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "release")
    bench_util.use_build(build_dir)
    bench_util.enter_namespaces()
    import soak
    return soak.soak(VMS, FEEDS, CHECKPOINT, PROGRESS,
                     rss_limit=not os.environ.get("TARN_SANITIZE"))


if __name__ == "__main__":
    sys.exit(main())

#pragma once

#include <random>
#include <string>
#include <vector>

namespace tarn::testing {

// Texts glued together from tokens chosen at random: the pieces a matcher cares about, near
// misses and separators, so that random texts reach the interesting corners often.
class TokenText {
  public:
    TokenText(std::vector<std::string> tokens, unsigned seed)
        : tokens_(std::move(tokens)), rng_(seed) {}

    std::string next(std::size_t max_tokens) {
        std::uniform_int_distribution<std::size_t> count(1, max_tokens);
        std::uniform_int_distribution<std::size_t> pick(0, tokens_.size() - 1);
        std::string text;
        for (std::size_t i = count(rng_); i > 0; --i)
            text += tokens_[pick(rng_)];
        return text;
    }

  private:
    std::vector<std::string> tokens_;
    std::mt19937 rng_;
};

} // namespace tarn::testing

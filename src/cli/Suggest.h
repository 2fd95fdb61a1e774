// File: Suggest.h
//
// "Did you mean": the candidates nearest to a mistyped word.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qelcli {

// The candidates within a few edits of `word` (letter case ignored; a swap of two neighbours is
// one edit), nearest first, at most `limit`; none when nothing is near.
std::vector<std::string> Nearest(std::string_view word, const std::vector<std::string>& candidates,
                                 size_t limit = 3);

// " (did you mean list?)", " (did you mean a, b or c?)", or "" when there is no suggestion.
std::string DidYouMean(const std::vector<std::string>& suggestions);

}  // namespace qelcli

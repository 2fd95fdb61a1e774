#include "Suggest.h"

#include <algorithm>
#include <cctype>

namespace qelcli {

namespace {

char Fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Edits between two words: insertions, deletions, substitutions and swaps of neighbours.
size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = Fold(a[i - 1]) == Fold(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && Fold(a[i - 1]) == Fold(b[j - 2]) &&
                Fold(a[i - 2]) == Fold(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::vector<std::string> Nearest(std::string_view word, const std::vector<std::string>& candidates,
                                 size_t limit) {
    // Near enough to be a slip of the fingers, not a different word.
    const size_t most = std::max<size_t>(2, word.size() / 3);
    std::vector<std::pair<size_t, const std::string*>> near;
    for (const std::string& candidate : candidates) {
        // Long words are compared with the candidate's like-sized end too: "burntodisk" is near
        // "UI/BurnToDisk".
        size_t distance = Distance(word, candidate);
        const size_t slash = candidate.rfind('/');
        if (slash != std::string::npos)
            distance = std::min(distance, Distance(word, candidate.substr(slash + 1)));
        if (distance <= most) near.emplace_back(distance, &candidate);
    }
    std::stable_sort(near.begin(), near.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> nearest;
    for (const auto& [distance, candidate] : near) {
        if (nearest.size() == limit) break;
        if (std::find(nearest.begin(), nearest.end(), *candidate) == nearest.end())
            nearest.push_back(*candidate);
    }
    return nearest;
}

std::string DidYouMean(const std::vector<std::string>& suggestions) {
    if (suggestions.empty()) return "";
    std::string text = " (did you mean ";
    for (size_t i = 0; i < suggestions.size(); ++i) {
        if (i > 0) text += i + 1 == suggestions.size() ? " or " : ", ";
        text += suggestions[i];
    }
    return text + "?)";
}

}  // namespace qelcli

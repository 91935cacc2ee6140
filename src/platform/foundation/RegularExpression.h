// RegularExpression: the platform's regular expressions (ICU's pattern and
// replacement-template syntax: look-around, possessive quantifiers, "$n" and
// "${name}" in templates, "\" escaping there).
//
// A compiled expression is immutable and may be shared between threads; each
// call matches with its own matcher. Text is UTF-8; ranges count UTF-16 units,
// as the string functions of Text.h do. Invalid UTF-8 reads as U+FFFD.
// Matching keeps its backtracking state on the heap, so long inputs cannot
// overflow the stack; a match that runs out of that memory counts as no match.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"

namespace plat {

struct MatchBuilder;

class RegularExpression {
  public:
    // The platform's option values.
    enum Options : unsigned {
        CaseInsensitive = 1u << 0,
        AllowCommentsAndWhitespace = 1u << 1,
        IgnoreMetacharacters = 1u << 2,
        DotMatchesLineSeparators = 1u << 3,
        AnchorsMatchLines = 1u << 4,
        UseUnixLineSeparators = 1u << 5,
        UseUnicodeWordBoundaries = 1u << 6,
    };

    // A range in UTF-16 units; `location` is npos for a group that took no
    // part in the match.
    struct Range {
        static constexpr std::size_t npos = static_cast<std::size_t>(-1);
        std::size_t location = npos;
        std::size_t length = 0;
        bool operator==(const Range&) const = default;
    };

    class Match {
      public:
        // Group 0 is the whole match.
        std::size_t numberOfRanges() const { return ranges_.size(); }
        Range range(std::size_t group = 0) const { return group < ranges_.size() ? ranges_[group] : Range{}; }
        // The group's text; nullopt for a group that took no part or does not exist.
        std::optional<std::string> group(std::size_t group = 0) const {
            return group < texts_.size() ? texts_[group] : std::nullopt;
        }

      private:
        friend struct MatchBuilder;
        std::vector<Range> ranges_;
        std::vector<std::optional<std::string>> texts_;
    };

    // Compiles `pattern`. A pattern ICU refuses gives a CocoaErrorDomain error
    // 2048 whose description reads "The value “<pattern>” is invalid." and whose
    // user info names the pattern ("NSInvalidValue") and ICU's reason
    // (DebugDescriptionErrorKey).
    static Result<RegularExpression> make(std::string_view pattern, unsigned options = 0);

    const std::string& pattern() const;
    unsigned options() const { return options_; }
    std::size_t numberOfCaptureGroups() const;

    std::optional<Match> firstMatch(std::string_view text) const;
    std::vector<Match> matches(std::string_view text) const;
    std::size_t numberOfMatches(std::string_view text) const;
    // True when the whole text matches, as if the pattern were anchored at both ends.
    bool matchesWholeText(std::string_view text) const;
    // Every match replaced by `replacementTemplate` with its "$n" references
    // filled in; the text unchanged when nothing matches. A template naming a
    // group the pattern lacks gives nullopt.
    std::optional<std::string> replacingMatches(std::string_view text,
                                                std::string_view replacementTemplate) const;

    // The pattern that matches `text` literally, and the template that inserts it literally.
    static std::string escapedPattern(std::string_view text);
    static std::string escapedTemplate(std::string_view text);

  private:
    struct Compiled;
    RegularExpression(std::shared_ptr<const Compiled> compiled, unsigned options)
        : compiled_(std::move(compiled)), options_(options) {}

    std::shared_ptr<const Compiled> compiled_;
    unsigned options_ = 0;
};

}  // namespace plat

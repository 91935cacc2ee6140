#include "platform/foundation/RegularExpression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

namespace plat {

struct RegularExpression::Compiled {
    std::string pattern;
    std::unique_ptr<icu::RegexPattern> icu;
    std::size_t groups = 0;
};

namespace {

uint32_t icuFlags(unsigned options) {
    uint32_t flags = 0;
    if (options & RegularExpression::CaseInsensitive)
        flags |= UREGEX_CASE_INSENSITIVE;
    if (options & RegularExpression::AllowCommentsAndWhitespace)
        flags |= UREGEX_COMMENTS;
    if (options & RegularExpression::IgnoreMetacharacters)
        flags |= UREGEX_LITERAL;
    if (options & RegularExpression::DotMatchesLineSeparators)
        flags |= UREGEX_DOTALL;
    if (options & RegularExpression::AnchorsMatchLines)
        flags |= UREGEX_MULTILINE;
    if (options & RegularExpression::UseUnixLineSeparators)
        flags |= UREGEX_UNIX_LINES;
    if (options & RegularExpression::UseUnicodeWordBoundaries)
        flags |= UREGEX_UWORD;
    return flags;
}

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// A matcher over `text` whose backtracking state may grow to kStackLimit
// bytes, 256 MB (ICU's default of 8 MB stops simple patterns such as "a+" on inputs of
// a few megabytes). Null when ICU cannot make one.
constexpr int32_t kStackLimit = 1 << 28;  // larger values overflow inside ICU 72

std::unique_ptr<icu::RegexMatcher> matcherFor(const icu::RegexPattern& pattern,
                                              const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    if (U_FAILURE(status))
        return nullptr;
    matcher->setStackLimit(kStackLimit, status);
    return matcher;
}

// Runs `each` for every match of `pattern` in `text` until it returns false.
template <class Each>
void forEachMatch(const icu::RegexPattern& pattern, const icu::UnicodeString& text, Each each) {
    auto matcher = matcherFor(pattern, text);
    if (!matcher)
        return;
    UErrorCode status = U_ZERO_ERROR;
    while (matcher->find(status) && U_SUCCESS(status)) {
        if (!each(*matcher))
            return;
    }
}

}  // namespace

struct MatchBuilder {
    static RegularExpression::Match of(icu::RegexMatcher& matcher, const icu::UnicodeString& input) {
        RegularExpression::Match match;
        for (int32_t g = 0; g <= matcher.groupCount(); ++g) {
            UErrorCode status = U_ZERO_ERROR;
            const int32_t start = matcher.start(g, status);
            const int32_t end = matcher.end(g, status);
            if (U_FAILURE(status) || start < 0) {
                match.ranges_.push_back(RegularExpression::Range{});
                match.texts_.push_back(std::nullopt);
                continue;
            }
            match.ranges_.push_back(RegularExpression::Range{static_cast<std::size_t>(start),
                                                             static_cast<std::size_t>(end - start)});
            match.texts_.push_back(utf8(input.tempSubStringBetween(start, end)));
        }
        return match;
    }
};

Result<RegularExpression> RegularExpression::make(std::string_view pattern, unsigned options) {
    UParseError parseError{};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> icu(
        icu::RegexPattern::compile(unicode(pattern), icuFlags(options), parseError, status));
    if (U_FAILURE(status) || !icu) {
        Dictionary info;
        info.set("NSInvalidValue", Value(std::string(pattern)));
        info.set(LocalizedDescriptionKey, Value("The value “" + std::string(pattern) + "” is invalid."));
        info.set(DebugDescriptionErrorKey, Value(std::string(u_errorName(status))));
        return Error::make(CocoaErrorDomain, 2048, std::move(info));
    }
    auto compiled = std::make_shared<Compiled>();
    compiled->pattern = std::string(pattern);
    std::unique_ptr<icu::RegexMatcher> probe(icu->matcher(status));
    compiled->groups = U_SUCCESS(status) && probe ? static_cast<std::size_t>(probe->groupCount()) : 0;
    compiled->icu = std::move(icu);
    return RegularExpression(std::move(compiled), options);
}

const std::string& RegularExpression::pattern() const {
    return compiled_->pattern;
}

std::size_t RegularExpression::numberOfCaptureGroups() const {
    return compiled_->groups;
}

std::vector<RegularExpression::Match> RegularExpression::matches(std::string_view text) const {
    std::vector<Match> out;
    const icu::UnicodeString input = unicode(text);
    forEachMatch(*compiled_->icu, input, [&](icu::RegexMatcher& matcher) {
        out.push_back(MatchBuilder::of(matcher, input));
        return true;
    });
    return out;
}

std::optional<RegularExpression::Match> RegularExpression::firstMatch(std::string_view text) const {
    std::optional<Match> first;
    const icu::UnicodeString input = unicode(text);
    forEachMatch(*compiled_->icu, input, [&](icu::RegexMatcher& matcher) {
        first = MatchBuilder::of(matcher, input);
        return false;
    });
    return first;
}

std::size_t RegularExpression::numberOfMatches(std::string_view text) const {
    std::size_t count = 0;
    forEachMatch(*compiled_->icu, unicode(text), [&](icu::RegexMatcher&) {
        ++count;
        return true;
    });
    return count;
}

bool RegularExpression::matchesWholeText(std::string_view text) const {
    const icu::UnicodeString input = unicode(text);
    auto matcher = matcherFor(*compiled_->icu, input);
    if (!matcher)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    const bool matched = matcher->matches(status);
    return U_SUCCESS(status) && matched;
}

std::optional<std::string> RegularExpression::replacingMatches(std::string_view text,
                                                               std::string_view replacementTemplate) const {
    const icu::UnicodeString input = unicode(text);
    auto matcher = matcherFor(*compiled_->icu, input);
    if (!matcher)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString replaced = matcher->replaceAll(unicode(replacementTemplate), status);
    if (U_FAILURE(status))
        return std::nullopt;
    return utf8(replaced);
}

std::string RegularExpression::escapedPattern(std::string_view text) {
    static constexpr std::string_view kSpecial = "\\*?+[(){}^$|./";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (kSpecial.find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

std::string RegularExpression::escapedTemplate(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '$')
            out += '\\';
        out += c;
    }
    return out;
}

}  // namespace plat

// Locale: the user's locale and preferred languages, read from the POSIX
// locale variables (the platform's locale, without any formatting data).
//
// A locale variable holds "language[_REGION][.codeset][@modifier]"; the
// identifier keeps "language[_Script][_REGION]" ("de_DE.UTF-8" is "de_DE",
// "sr_RS@latin" is "sr_Latn_RS"). The C and POSIX locales, and values that are
// not a locale name, count as "en_US" (American English being what programs
// without a locale speak); preferred languages then hold "en".
//
// Every reading function has an overload taking the variables explicitly, for
// tests; the others read the process environment. All are thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ProcessInfo.h"

namespace plat {

class Locale {
  public:
    explicit Locale(std::string identifier);

    static Locale currentLocale();
    static Locale currentLocale(const EnvironmentMap& environment);
    // From LC_ALL, else LC_MESSAGES, else LANG (the first that is set and not
    // empty), in "en_US" form.
    static std::string currentLocaleIdentifier();
    static std::string currentLocaleIdentifier(const EnvironmentMap& environment);
    // Language tags, most preferred first ("de-DE", "fr", "sr-Latn-RS"): the
    // entries of the colon-separated LANGUAGE list, else the current locale.
    // Duplicates are dropped; never empty.
    static std::vector<std::string> preferredLanguages();
    static std::vector<std::string> preferredLanguages(const EnvironmentMap& environment);

    const std::string& localeIdentifier() const { return identifier_; }
    // "de" of "de_DE"; nullopt when the identifier has none.
    std::optional<std::string> languageCode() const;
    // "Latn" of "sr_Latn_RS"; nullopt when there is no script.
    std::optional<std::string> scriptCode() const;
    // "DE" of "de_DE"; nullopt when there is no region.
    std::optional<std::string> countryCode() const;

    // The identifier for one POSIX locale name ("de_DE.UTF-8" gives "de_DE");
    // "en_US" for C, POSIX and anything that is not a locale name.
    static std::string identifierFromPOSIXLocale(std::string_view name);
    // The language tag for one POSIX locale name ("de_DE.UTF-8" gives
    // "de-DE"); "en" for C, POSIX and anything that is not a locale name.
    static std::string languageTagFromPOSIXLocale(std::string_view name);

  private:
    std::string identifier_;
};

}  // namespace plat

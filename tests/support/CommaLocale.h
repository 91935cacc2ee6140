// Test helper: switches LC_NUMERIC to a locale whose decimal separator is a
// comma, to prove that number formatting and parsing ignore the process locale.
#pragma once

#include <locale.h>
#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/TempDir.h"

namespace testsupport {

// Switches LC_NUMERIC to a locale whose decimal separator is a comma while it
// lives: an installed one, or else German compiled with localedef into a
// temporary folder. ok() is false when neither is possible.
class CommaLocale {
  public:
    CommaLocale() {
        const char* old = setlocale(LC_NUMERIC, nullptr);
        previous_ = old != nullptr ? old : "C";
        if (const char* path = getenv("LOCPATH"))
            previousPath_ = path;
        if (trySet())
            return;
        const std::string target = (dir_ / "de_DE.UTF-8").string();
        const std::string command = "localedef -i de_DE -f UTF-8 '" + target + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == -1)
            return;
        setenv("LOCPATH", dir_.str().c_str(), 1);
        trySet();
    }
    ~CommaLocale() {
        setlocale(LC_NUMERIC, previous_.c_str());
        if (previousPath_) {
            setenv("LOCPATH", previousPath_->c_str(), 1);
        } else {
            unsetenv("LOCPATH");
        }
    }
    bool ok() const { return ok_; }

  private:
    bool trySet() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
            if (setlocale(LC_NUMERIC, name) != nullptr && localeconv()->decimal_point[0] == ',') {
                ok_ = true;
                return true;
            }
        }
        return false;
    }

    testsupport::TempDir dir_;
    std::string previous_;
    std::optional<std::string> previousPath_;
    bool ok_ = false;
};

}  // namespace testsupport

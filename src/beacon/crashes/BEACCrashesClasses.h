// Registration of the crash service's archivable classes with the keyed
// unarchiver, and of the old archived names they replace ("BCAppleErrorLog"
// and so on), so that logs stored by earlier versions still decode.
#pragma once

#include <map>
#include <string>

namespace beac::crashes {

// Old archived class name to current class name (ten pairs).
const std::map<std::string, std::string>& classNameMigrations();

// Registers every class and the migrations; safe to call more than once and
// from any thread.
void registerCodableClasses();

}  // namespace beac::crashes

#include "platform/foundation/MIMEType.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TempDir.h"

namespace {

using plat::MIMETypeTable;

TEST(MIMETypeTest, FileEntriesOverrideTheBuiltInTableAndIgnoreCase) {
    testsupport::TempDir dir;
    {
        std::ofstream file(dir / "mime.types");
        file << "# comment line png\n"
                "application/x-first\tfoo bar  # trailing comment baz\n"
                "application/x-second foo\n"  // the first mention of an extension wins
                "image/x-custom-png PNG\n"    // replaces the built-in type
                "application/no-extensions\n"
                "not-a-type qux\n";
    }
    const MIMETypeTable table = MIMETypeTable::fromFile((dir / "mime.types").string());
    struct Case {
        const char* extension;
        std::optional<std::string> type;
    };
    for (const Case& c : {Case{"foo", "application/x-first"}, Case{"FOO", "application/x-first"},
                          Case{"bar", "application/x-first"}, Case{"baz", std::nullopt},
                          Case{"png", "image/x-custom-png"}, Case{"json", "application/json"},  // built in
                          Case{"JPG", "image/jpeg"}, Case{"qux", std::nullopt}, Case{"", std::nullopt},
                          Case{"unknown-ext", std::nullopt}}) {
        EXPECT_EQ(table.typeForExtension(c.extension), c.type) << c.extension;
    }
}

TEST(MIMETypeTest, MissingFileLeavesTheBuiltInTable) {
    const MIMETypeTable table = MIMETypeTable::fromFile("/nonexistent/mime.types");
    EXPECT_EQ(table.typeForExtension("Png"), "image/png");
    EXPECT_EQ(table.typeForExtension("txt"), "text/plain");
    EXPECT_EQ(table.typeForExtension("nope"), std::nullopt);
}

TEST(MIMETypeTest, SystemTableAnswersCommonTypes) {
    EXPECT_EQ(plat::mimeTypeForPathExtension("json"), "application/json");
    EXPECT_EQ(plat::mimeTypeForPathExtension("JPEG"), "image/jpeg");
    EXPECT_EQ(plat::mimeTypeForPathExtension("zzz-not-a-type"), std::nullopt);
}

}  // namespace

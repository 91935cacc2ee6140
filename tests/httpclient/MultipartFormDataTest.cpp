// Multipart bodies in memory and written to files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "httpclient/MultipartFormData.h"
#include "platform/foundation/FileManager.h"
#include "support/TempDir.h"

using namespace httpclient;
using ME = CourierError::MultipartEncodingFailureReason;

namespace {

std::optional<ME> reason(const plat::ErrorPtr& e) {
    auto c = CourierError::from(e);
    return c ? c->multipartEncodingReason() : std::nullopt;
}

std::string fileText(const std::string& path) {
    return plat::FileManager::defaultManager().contentsAtPath(path).value_or(plat::Data()).toString();
}

}  // namespace

TEST(MultipartFormDataTest, ExactBytesForOneAndTwoParts) {
    MultipartFormData form;
    form.setBoundary("B");
    EXPECT_EQ(form.contentType(), "multipart/form-data; boundary=B");
    form.append(plat::Data::fromString("abc"), "one");
    MultipartFormData single;
    single.setBoundary("B");
    single.append(plat::Data::fromString("abc"), "one");
    EXPECT_EQ(single.encode()->toString(),
              "--B\r\nContent-Disposition: form-data; name=\"one\"\r\n\r\nabc\r\n--B--\r\n");
    form.append(plat::Data::fromString("hello"), "two", "t.txt", "text/plain");
    EXPECT_EQ(form.encode()->toString(),
              "--B\r\nContent-Disposition: form-data; name=\"one\"\r\n\r\nabc"
              "\r\n--B\r\nContent-Disposition: form-data; name=\"two\"; filename=\"t.txt\"\r\n"
              "Content-Type: text/plain\r\n\r\nhello\r\n--B--\r\n");
    EXPECT_EQ(form.contentLength(), 8u);
    EXPECT_EQ(form.bodyParts().front()->headers.size(), 1u);

    MultipartFormData random;
    EXPECT_EQ(random.boundary().size(), 33u);
    EXPECT_EQ(random.boundary().rfind("courier.boundary.", 0), 0u);
}

TEST(MultipartFormDataTest, NamesCannotInjectHeaders) {
    auto headers =
        MultipartFormData::contentHeaders("a\"\r\nX-Evil: 1", std::string("f\".txt\n"), std::nullopt);
    EXPECT_EQ(headers.front().second, "form-data; name=\"a%22%0D%0AX-Evil: 1\"; filename=\"f%22.txt%0A\"");
    EXPECT_EQ(MultipartFormData::contentHeaders("plain", std::nullopt, std::nullopt).front().second,
              "form-data; name=\"plain\"");
}

TEST(MultipartFormDataTest, FilePartsAndTheFirstErrorWins) {
    testsupport::TempDir dir;
    const std::string path = dir.str() + "/note.txt";
    ASSERT_EQ(plat::FileManager::defaultManager().writeData(plat::Data::fromString("file body"), path, false),
              nullptr);

    MultipartFormData form;
    form.setBoundary("B");
    form.append(plat::URL::fileURLWithPath(path), "doc");
    ASSERT_FALSE(form.bodyPartError());
    EXPECT_EQ(form.bodyParts().back()->headers.back().second, "text/plain");
    EXPECT_NE(
        form.encode()->toString().find("filename=\"note.txt\"\r\nContent-Type: text/plain\r\n\r\nfile body"),
        std::string::npos);

    form.append(plat::URL::fileURLWithPath(dir.str() + "/noextension"), "x");
    form.append(plat::URL::fileURLWithPath(dir.str() + "/missing.txt"), "y");
    form.append(plat::Data::fromString("z"), "z");
    EXPECT_EQ(form.bodyParts().size(), 2u);
    EXPECT_EQ(reason(form.encode().error()), ME::bodyPartFilenameInvalid);

    struct Case {
        plat::URL url;
        ME expected;
    } cases[] = {
        {*plat::URL::URLWithString("http://h.test/a.txt"), ME::bodyPartURLInvalid},
        {plat::URL::fileURLWithPath(dir.str() + "/missing.txt"), ME::bodyPartFileNotReachableWithError},
        {plat::URL::fileURLWithPath(dir.str()), ME::bodyPartFileIsDirectory},
    };
    for (const auto& c : cases) {
        MultipartFormData f;
        f.append(c.url, "n", "n.txt", "text/plain");
        EXPECT_EQ(reason(f.bodyPartError()), c.expected) << c.url.absoluteString();
    }
    EXPECT_EQ(MultipartFormData::mimeType("nosuchextension"), "application/octet-stream");
}

TEST(MultipartFormDataTest, WritesFilesAndRefusesExistingOnes) {
    testsupport::TempDir dir;
    MultipartFormData empty;
    const auto emptyURL = plat::URL::fileURLWithPath(dir.str() + "/empty");
    EXPECT_FALSE(empty.writeEncodedData(emptyURL));
    EXPECT_EQ(fileText(emptyURL.path()), "");
    EXPECT_TRUE(empty.encode()->empty());

    MultipartFormData form;
    std::string big(5000, 'q');
    form.append(plat::Data::fromString(big), "big");
    const auto url = plat::URL::fileURLWithPath(dir.str() + "/body");
    EXPECT_FALSE(form.writeEncodedData(url));
    const std::string written = fileText(url.path());
    EXPECT_NE(written.find(big + "\r\n--" + form.boundary() + "--\r\n"), std::string::npos);
    // An existing path fails before anything else is checked.
    EXPECT_EQ(reason(form.writeEncodedData(url)), ME::outputStreamFileAlreadyExists);
    EXPECT_EQ(reason(form.writeEncodedData(*plat::URL::URLWithString("http://h.test/x"))),
              ME::outputStreamURLInvalid);
}

TEST(MultipartFormDataTest, AShortWriteIsAnErrorNotATruncatedFile) {
    testsupport::TempDir dir;
    MultipartFormData form;
    form.append(plat::Data::fromString(std::string(20000, 'x')), "big");
    // A file-size limit makes the kernel cut the write short, then refuse it.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto error = form.writeEncodedData(plat::URL::fileURLWithPath(dir.str() + "/limited"));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(reason(error), ME::outputStreamWriteFailed);
    EXPECT_TRUE(CourierError::from(error)->underlyingError());
}

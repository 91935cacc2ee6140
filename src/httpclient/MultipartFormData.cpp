#include "httpclient/MultipartFormData.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/MIMEType.h"
#include "platform/foundation/Random.h"

namespace httpclient {

namespace {

using ME = CourierError::MultipartEncodingFailureReason;
constexpr const char* kCRLF = "\r\n";

std::string quotedSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

plat::ErrorPtr failure(ME reason, std::optional<plat::URL> url, plat::ErrorPtr error = nullptr) {
    return CourierError::multipartEncodingFailed(reason, std::move(url), std::move(error));
}

// Writes all of `bytes`, looping on short writes; a write that moves nothing
// is a failure, never a silent truncation.
plat::ErrorPtr writeAll(plat::OutputStream& out, const uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        if (!out.hasSpaceAvailable()) {
            return failure(
                ME::outputStreamWriteFailed, std::nullopt,
                out.error() ? out.error() : plat::fileErrorWithPOSIXError(ENOSPC, false, std::string()));
        }
        auto written = out.write(bytes, length);
        if (written <= 0) {
            return failure(
                ME::outputStreamWriteFailed, std::nullopt,
                out.error() ? out.error() : plat::fileErrorWithPOSIXError(EIO, false, std::string()));
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return nullptr;
}

plat::ErrorPtr writeAll(plat::OutputStream& out, const std::string& text) {
    return writeAll(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Reads a part's stream in pieces of at most 1024 bytes, handing each on.
template <class Sink>
plat::ErrorPtr copyBody(plat::InputStream& in, Sink&& sink) {
    in.open();
    uint8_t buffer[MultipartFormData::streamBufferSize];
    plat::ErrorPtr result;
    while (in.hasBytesAvailable()) {
        auto n = in.read(buffer, sizeof buffer);
        if (in.error()) {
            result = failure(ME::inputStreamReadFailed, std::nullopt, in.error());
            break;
        }
        if (n <= 0)
            break;
        if ((result = sink(buffer, static_cast<std::size_t>(n))))
            break;
    }
    in.close();
    return result;
}

}  // namespace

MultipartFormData::MultipartFormData() {
    char buffer[64];
    const uint32_t a = plat::random::uint32();
    const uint32_t b = plat::random::uint32();
    std::snprintf(buffer, sizeof buffer, "courier.boundary.%08x%08x", a, b);
    boundary_ = buffer;
}

const std::string& MultipartFormData::contentType() {
    if (!contentType_)
        contentType_ = "multipart/form-data; boundary=" + boundary_;
    return *contentType_;
}

uint64_t MultipartFormData::contentLength() const {
    uint64_t total = 0;
    for (const auto& part : bodyParts_)
        total += part->bodyContentLength;
    return total;
}

MultipartFormData::Headers MultipartFormData::contentHeaders(const std::string& name,
                                                             const std::optional<std::string>& fileName,
                                                             const std::optional<std::string>& mimeType) {
    std::string disposition = "form-data; name=\"" + quotedSafe(name) + "\"";
    if (fileName)
        disposition += "; filename=\"" + quotedSafe(*fileName) + "\"";
    Headers headers{{"Content-Disposition", disposition}};
    if (mimeType)
        headers.emplace_back("Content-Type", *mimeType);
    return headers;
}

std::string MultipartFormData::mimeType(const std::string& pathExtension) {
    return plat::mimeTypeForPathExtension(pathExtension).value_or("application/octet-stream");
}

void MultipartFormData::setError(CourierErrorPtr error) {
    if (!bodyPartError_)
        bodyPartError_ = std::move(error);
}

void MultipartFormData::append(const plat::Data& data, const std::string& name) {
    append(std::shared_ptr<plat::InputStream>(plat::InputStream::withData(data)), data.length(),
           contentHeaders(name, std::nullopt, std::nullopt));
}

void MultipartFormData::append(const plat::Data& data, const std::string& name, const std::string& mimeType) {
    append(std::shared_ptr<plat::InputStream>(plat::InputStream::withData(data)), data.length(),
           contentHeaders(name, std::nullopt, mimeType));
}

void MultipartFormData::append(const plat::Data& data, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
    append(std::shared_ptr<plat::InputStream>(plat::InputStream::withData(data)), data.length(),
           contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(const plat::URL& fileURL, const std::string& name) {
    const std::string fileName = fileURL.lastPathComponent();
    const std::string extension = fileURL.pathExtension();
    if (fileName.empty() || extension.empty()) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartFilenameInvalid, fileURL));
        return;
    }
    append(fileURL, name, fileName, mimeType(extension));
}

void MultipartFormData::append(const plat::URL& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
    if (!fileURL.isFileURL()) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartURLInvalid, fileURL));
        return;
    }
    const std::string path = fileURL.path();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError, fileURL,
                                                       plat::fileErrorWithPOSIXError(errno, true, path)));
        return;
    }
    auto& fm = plat::FileManager::defaultManager();
    bool isDirectory = false;
    if (!fm.fileExistsAtPath(path, &isDirectory) || isDirectory) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartFileIsDirectory, fileURL));
        return;
    }
    auto attributes = fm.attributesOfItemAtPath(path);
    if (!attributes) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError, fileURL,
                                                       attributes.error()));
        return;
    }
    const plat::Value* size = attributes->find(plat::FileSize);
    if (!size || !size->isNumber()) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartFileSizeNotAvailable, fileURL));
        return;
    }
    std::shared_ptr<plat::InputStream> stream(plat::InputStream::withURL(fileURL));
    if (!stream) {
        setError(CourierError::multipartEncodingFailed(ME::bodyPartInputStreamCreationFailed, fileURL));
        return;
    }
    append(std::move(stream), size->unsignedLongLongValue(), contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(std::shared_ptr<plat::InputStream> stream, uint64_t length,
                               const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
    append(std::move(stream), length, contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(std::shared_ptr<plat::InputStream> stream, uint64_t length, Headers headers) {
    auto part = std::make_shared<BodyPart>();
    part->headers = std::move(headers);
    part->bodyStream = std::move(stream);
    part->bodyContentLength = length;
    bodyParts_.push_back(std::move(part));
}

void MultipartFormData::markBoundaries() {
    for (auto& part : bodyParts_) {
        part->hasInitialBoundary = false;
        part->hasFinalBoundary = false;
    }
    if (!bodyParts_.empty()) {
        bodyParts_.front()->hasInitialBoundary = true;
        bodyParts_.back()->hasFinalBoundary = true;
    }
}

std::string MultipartFormData::initialBoundary() const {
    return "--" + boundary_ + kCRLF;
}
std::string MultipartFormData::encapsulatedBoundary() const {
    return std::string(kCRLF) + "--" + boundary_ + kCRLF;
}
std::string MultipartFormData::finalBoundary() const {
    return std::string(kCRLF) + "--" + boundary_ + "--" + kCRLF;
}

std::string MultipartFormData::headerBlock(const BodyPart& part) {
    std::string text;
    for (const auto& [name, value] : part.headers)
        text += name + ": " + value + kCRLF;
    text += kCRLF;
    return text;
}

plat::Result<plat::Data> MultipartFormData::encode() {
    if (bodyPartError_)
        return plat::ErrorPtr(bodyPartError_);
    markBoundaries();
    plat::Data out;
    for (const auto& part : bodyParts_) {
        const std::string head =
            (part->hasInitialBoundary ? initialBoundary() : encapsulatedBoundary()) + headerBlock(*part);
        out.append(head.data(), head.size());
        if (part->bodyStream) {
            auto error =
                copyBody(*part->bodyStream, [&](const uint8_t* bytes, std::size_t n) -> plat::ErrorPtr {
                    out.append(bytes, n);
                    return nullptr;
                });
            if (error)
                return error;
        }
        if (part->hasFinalBoundary) {
            const std::string tail = finalBoundary();
            out.append(tail.data(), tail.size());
        }
    }
    return out;
}

plat::ErrorPtr MultipartFormData::writeEncodedData(const plat::URL& fileURL) {
    if (bodyPartError_)
        return bodyPartError_;
    if (plat::FileManager::defaultManager().fileExistsAtPath(fileURL.path()))
        return failure(ME::outputStreamFileAlreadyExists, fileURL);
    if (!fileURL.isFileURL())
        return failure(ME::outputStreamURLInvalid, fileURL);
    auto out = plat::OutputStream::toURL(fileURL, false);
    if (!out)
        return failure(ME::outputStreamCreationFailed, fileURL);
    out->open();
    if (out->status() != plat::StreamStatus::Open) {
        out->close();
        return failure(ME::outputStreamCreationFailed, fileURL);
    }
    markBoundaries();
    plat::ErrorPtr error;
    for (const auto& part : bodyParts_) {
        if ((error = writeAll(*out, (part->hasInitialBoundary ? initialBoundary() : encapsulatedBoundary()) +
                                        headerBlock(*part))))
            break;
        if (part->bodyStream) {
            error = copyBody(*part->bodyStream,
                             [&](const uint8_t* bytes, std::size_t n) { return writeAll(*out, bytes, n); });
            if (error)
                break;
        }
        if (part->hasFinalBoundary && (error = writeAll(*out, finalBoundary())))
            break;
    }
    out->close();
    return error;
}

}  // namespace httpclient

// MultipartFormData: a "multipart/form-data" body built from named parts
// (bytes, files, input streams), produced in memory (encode) or streamed
// into a new file (writeEncodedData). Not shared between threads.
//
// Appending never fails directly: the first failure is kept in
// bodyPartError and reported by encode or writeEncodedData.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/CourierError.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/URL.h"

namespace httpclient {

class MultipartFormData {
  public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct BodyPart {
        Headers headers;
        std::shared_ptr<plat::InputStream> bodyStream;
        uint64_t bodyContentLength = 0;
        bool hasInitialBoundary = false;
        bool hasFinalBoundary = false;
    };

    static constexpr std::ptrdiff_t streamBufferSize = 1024;

    MultipartFormData();

    // "multipart/form-data; boundary=" and the boundary as it was first read.
    const std::string& contentType();
    void setContentType(std::string contentType) { contentType_ = std::move(contentType); }
    const std::string& boundary() const { return boundary_; }
    void setBoundary(std::string boundary) { boundary_ = std::move(boundary); }
    // The bytes of the part bodies only (no boundaries, no headers).
    uint64_t contentLength() const;
    const std::vector<std::shared_ptr<BodyPart>>& bodyParts() const { return bodyParts_; }
    const CourierErrorPtr& bodyPartError() const { return bodyPartError_; }

    void append(const plat::Data& data, const std::string& name);
    void append(const plat::Data& data, const std::string& name, const std::string& mimeType);
    void append(const plat::Data& data, const std::string& name, const std::string& fileName,
                const std::string& mimeType);
    void append(const plat::URL& fileURL, const std::string& name);
    void append(const plat::URL& fileURL, const std::string& name, const std::string& fileName,
                const std::string& mimeType);
    void append(std::shared_ptr<plat::InputStream> stream, uint64_t length, const std::string& name,
                const std::string& fileName, const std::string& mimeType);
    void append(std::shared_ptr<plat::InputStream> stream, uint64_t length, Headers headers);

    plat::Result<plat::Data> encode();
    // Fails without touching an existing file; a failure while writing leaves
    // the partial file for the caller to remove.
    [[nodiscard]] plat::ErrorPtr writeEncodedData(const plat::URL& fileURL);

    // The part headers for a name, optional file name and MIME type. A '"',
    // CR or LF in the name or file name is written as %22, %0D or %0A, so a
    // name can never end the quoted value or add a header line.
    static Headers contentHeaders(const std::string& name, const std::optional<std::string>& fileName,
                                  const std::optional<std::string>& mimeType);
    // The MIME type of a file extension, "application/octet-stream" if unknown.
    static std::string mimeType(const std::string& pathExtension);

  private:
    void setError(CourierErrorPtr error);
    void markBoundaries();
    std::string initialBoundary() const;
    std::string encapsulatedBoundary() const;
    std::string finalBoundary() const;
    static std::string headerBlock(const BodyPart& part);

    std::optional<std::string> contentType_;
    std::string boundary_;
    std::vector<std::shared_ptr<BodyPart>> bodyParts_;
    CourierErrorPtr bodyPartError_;
};

}  // namespace httpclient

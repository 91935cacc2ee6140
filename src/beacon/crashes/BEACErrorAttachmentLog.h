// A file-like payload (text or bytes, a content type, an optional file name)
// sent as a log of its own, type "errorAttachment", next to the error log
// whose id it names in `errorId`.
//
// JSON: the core's entries, then "id", "errorId", "contentType", "fileName"
// and "data" (standard Base64 on one line), each only when present. Archive:
// the same keys, the bytes as a data entry. isValid() requires, after the
// core's checks, errorId, attachmentId, data and contentType in that order,
// logging the first missing one (verbose, tag "Beacon"); no size limit
// applies here. A plain value without locks.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "beacon/core/BEACAbstractLog.h"
#include "platform/foundation/Data.h"

class BEACErrorAttachmentLog : public BEACAbstractLog {
  public:
    // A fresh upper-case UUID as attachmentId; every other field absent.
    BEACErrorAttachmentLog();
    // Absent arguments leave their fields absent.
    BEACErrorAttachmentLog(std::optional<std::string> filename, std::optional<plat::Data> attachmentBinary,
                           std::optional<std::string> contentType);
    // The text as UTF-8 bytes, content type "text/plain".
    BEACErrorAttachmentLog(std::optional<std::string> filename,
                           const std::optional<std::string>& attachmentText);

    // For applications: the payload comes first here, second in the constructors.
    static std::shared_ptr<BEACErrorAttachmentLog> attachmentWithText(const std::optional<std::string>& text,
                                                                      std::optional<std::string> filename);
    static std::shared_ptr<BEACErrorAttachmentLog> attachmentWithBinary(
        std::optional<plat::Data> data, std::optional<std::string> filename,
        std::optional<std::string> contentType);

    std::optional<std::string> attachmentId;  // "id"
    std::optional<std::string> errorId;
    std::optional<std::string> contentType;
    std::optional<std::string> filename;  // "fileName"
    std::optional<plat::Data> data;

    plat::Dictionary serializeToDictionary() const override;
    bool isEqual(const plat::Object& other) const override;
    bool isValid() const override;
    std::string className() const override { return "BEACErrorAttachmentLog"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override;
    void initWithCoder(plat::KeyedUnarchiver& coder) override;
};

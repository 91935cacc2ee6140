#include "beacon/crashes/BEACErrorAttachmentLog.h"

#include "platform/foundation/UUID.h"

using beac::detail::encodeString;
using beac::detail::setIfPresent;

BEACErrorAttachmentLog::BEACErrorAttachmentLog() : attachmentId(plat::UUID::random().UUIDString()) {
    type = "errorAttachment";
}

BEACErrorAttachmentLog::BEACErrorAttachmentLog(std::optional<std::string> filename,
                                               std::optional<plat::Data> attachmentBinary,
                                               std::optional<std::string> contentType)
    : BEACErrorAttachmentLog() {
    data = std::move(attachmentBinary);
    this->contentType = std::move(contentType);
    this->filename = std::move(filename);
}

BEACErrorAttachmentLog::BEACErrorAttachmentLog(std::optional<std::string> filename,
                                               const std::optional<std::string>& attachmentText)
    : BEACErrorAttachmentLog(
          std::move(filename),
          attachmentText ? std::optional<plat::Data>(plat::Data::fromString(*attachmentText)) : std::nullopt,
          std::string("text/plain")) {}

std::shared_ptr<BEACErrorAttachmentLog> BEACErrorAttachmentLog::attachmentWithText(
    const std::optional<std::string>& text, std::optional<std::string> filename) {
    return std::make_shared<BEACErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<BEACErrorAttachmentLog> BEACErrorAttachmentLog::attachmentWithBinary(
    std::optional<plat::Data> data, std::optional<std::string> filename,
    std::optional<std::string> contentType) {
    return std::make_shared<BEACErrorAttachmentLog>(std::move(filename), std::move(data),
                                                    std::move(contentType));
}

plat::Dictionary BEACErrorAttachmentLog::serializeToDictionary() const {
    plat::Dictionary dict = BEACAbstractLog::serializeToDictionary();
    setIfPresent(dict, "id", attachmentId);
    setIfPresent(dict, "errorId", errorId);
    setIfPresent(dict, "contentType", contentType);
    setIfPresent(dict, "fileName", filename);
    if (data)
        dict.set("data", plat::Value(data->base64EncodedString()));
    return dict;
}

bool BEACErrorAttachmentLog::isEqual(const plat::Object& other) const {
    const auto* log = dynamic_cast<const BEACErrorAttachmentLog*>(&other);
    return log && BEACAbstractLog::isEqual(other) && attachmentId == log->attachmentId &&
           errorId == log->errorId && contentType == log->contentType && filename == log->filename &&
           data == log->data;
}

bool BEACErrorAttachmentLog::isValid() const {
    if (!BEACAbstractLog::isValid())
        return false;
    if (!errorId)
        return logValidityFailure("errorId");
    if (!attachmentId)
        return logValidityFailure("attachmentId");
    if (!data)
        return logValidityFailure("data");
    if (!contentType)
        return logValidityFailure("contentType");
    return true;
}

void BEACErrorAttachmentLog::encodeWithCoder(plat::KeyedArchiver& coder) const {
    BEACAbstractLog::encodeWithCoder(coder);
    encodeString(coder, attachmentId, "id");
    encodeString(coder, errorId, "errorId");
    encodeString(coder, contentType, "contentType");
    encodeString(coder, filename, "fileName");
    coder.encodeObject(data ? std::optional<plat::Value>(plat::Value(*data)) : std::nullopt, "data");
}

void BEACErrorAttachmentLog::initWithCoder(plat::KeyedUnarchiver& coder) {
    BEACAbstractLog::initWithCoder(coder);
    attachmentId = coder.decodeString("id");
    errorId = coder.decodeString("errorId");
    contentType = coder.decodeString("contentType");
    filename = coder.decodeString("fileName");
    data = coder.decodeData("data");
}

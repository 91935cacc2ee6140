#include "httpclient/Courier.h"

namespace httpclient {

namespace {
SessionManager& shared() {
    return *SessionManager::defaultManager();
}
}  // namespace

std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method,
                                     const std::optional<Parameters>& parameters,
                                     const ParameterEncoding& encoding,
                                     const std::optional<HTTPHeaders>& headers) {
    return shared().request(url, method, parameters, encoding, headers);
}
std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest) {
    return shared().request(urlRequest);
}
std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method,
                                          const std::optional<Parameters>& parameters,
                                          const ParameterEncoding& encoding,
                                          const std::optional<HTTPHeaders>& headers,
                                          DownloadDestination destination) {
    return shared().download(url, method, parameters, encoding, headers, std::move(destination));
}
std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                          DownloadDestination destination) {
    return shared().download(urlRequest, std::move(destination));
}
std::shared_ptr<DownloadRequest> download(const Data& resumingWith, DownloadDestination destination) {
    return shared().download(resumingWith, std::move(destination));
}
std::shared_ptr<UploadRequest> upload(const URL& fileURL, const URLConvertible& url, HTTPMethod method,
                                      const std::optional<HTTPHeaders>& headers) {
    return shared().upload(fileURL, url, method, headers);
}
std::shared_ptr<UploadRequest> upload(const URL& fileURL, const URLRequestConvertible& urlRequest) {
    return shared().upload(fileURL, urlRequest);
}
std::shared_ptr<UploadRequest> upload(const Data& data, const URLConvertible& url, HTTPMethod method,
                                      const std::optional<HTTPHeaders>& headers) {
    return shared().upload(data, url, method, headers);
}
std::shared_ptr<UploadRequest> upload(const Data& data, const URLRequestConvertible& urlRequest) {
    return shared().upload(data, urlRequest);
}
std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream, const URLConvertible& url,
                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
    return shared().upload(std::move(stream), url, method, headers);
}
std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream,
                                      const URLRequestConvertible& urlRequest) {
    return shared().upload(std::move(stream), urlRequest);
}
void upload(std::function<void(MultipartFormData&)> multipartFormData, const URLConvertible& url,
            MultipartEncodingCompletion encodingCompletion, uint64_t threshold, HTTPMethod method,
            const std::optional<HTTPHeaders>& headers) {
    shared().upload(std::move(multipartFormData), threshold, url, method, headers, plat::dispatch::Queue(),
                    std::move(encodingCompletion));
}
void upload(std::function<void(MultipartFormData&)> multipartFormData,
            const URLRequestConvertible& urlRequest, MultipartEncodingCompletion encodingCompletion,
            uint64_t threshold) {
    shared().upload(std::move(multipartFormData), threshold, urlRequest, plat::dispatch::Queue(),
                    std::move(encodingCompletion));
}

std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port) {
    return shared().stream(hostName, port);
}
std::shared_ptr<StreamRequest> stream(std::shared_ptr<plat::urlloading::NetService> netService) {
    return shared().stream(std::move(netService));
}

}  // namespace httpclient

// The library's convenience functions: requests, downloads, uploads and streams made
// through the shared SessionManager::defaultManager(), with its defaults.
#pragma once

#include "httpclient/SessionManager.h"

namespace httpclient {

std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                     const std::optional<Parameters>& parameters = std::nullopt,
                                     const ParameterEncoding& encoding = URLEncoding::default_(),
                                     const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);
std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                          const std::optional<Parameters>& parameters = std::nullopt,
                                          const ParameterEncoding& encoding = URLEncoding::default_(),
                                          const std::optional<HTTPHeaders>& headers = std::nullopt,
                                          DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                          DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> download(const Data& resumingWith,
                                          DownloadDestination destination = nullptr);
std::shared_ptr<UploadRequest> upload(const URL& fileURL, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(const URL& fileURL, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> upload(const Data& data, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(const Data& data, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(std::shared_ptr<plat::InputStream> stream,
                                      const URLRequestConvertible& urlRequest);
void upload(std::function<void(MultipartFormData&)> multipartFormData, const URLConvertible& url,
            MultipartEncodingCompletion encodingCompletion,
            uint64_t threshold = SessionManager::multipartFormDataEncodingMemoryThreshold,
            HTTPMethod method = HTTPMethod::post, const std::optional<HTTPHeaders>& headers = std::nullopt);
void upload(std::function<void(MultipartFormData&)> multipartFormData,
            const URLRequestConvertible& urlRequest, MultipartEncodingCompletion encodingCompletion,
            uint64_t threshold = SessionManager::multipartFormDataEncodingMemoryThreshold);

std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port);
std::shared_ptr<StreamRequest> stream(std::shared_ptr<plat::urlloading::NetService> netService);

}  // namespace httpclient

// Response records: what a response handler hands to its caller once a
// request has finished. Plain values; the metrics are attached once, right
// after a record is built.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "httpclient/Result.h"
#include "httpclient/Timeline.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/urlloading/TaskMetrics.h"
#include "platform/urlloading/URLRequest.h"
#include "platform/urlloading/URLResponse.h"

namespace httpclient {

namespace detail {
// Pieces of the records' debug texts.
std::string requestText(const std::optional<plat::urlloading::URLRequest>& request);
std::string requestBodyText(const std::optional<plat::urlloading::URLRequest>& request);
std::string responseText(const plat::urlloading::HTTPURLResponsePtr& response);
std::string bodyText(const std::optional<plat::Data>& data);
std::string urlText(const std::optional<plat::URL>& url);
}  // namespace detail

// What every record shares: the metrics, kept untyped and read typed.
struct ResponseMetrics {
    plat::ObjectPtr _metrics;
    std::shared_ptr<const plat::urlloading::TaskMetrics> metrics() const {
        return std::dynamic_pointer_cast<const plat::urlloading::TaskMetrics>(_metrics);
    }
    // Keeps the argument only when it is task metrics.
    void add(const plat::ObjectPtr& metrics) {
        if (std::dynamic_pointer_cast<const plat::urlloading::TaskMetrics>(metrics))
            _metrics = metrics;
    }
};

struct DefaultDataResponse : ResponseMetrics {
    DefaultDataResponse(std::optional<plat::urlloading::URLRequest> request,
                        plat::urlloading::HTTPURLResponsePtr response, std::optional<plat::Data> data,
                        plat::ErrorPtr error, Timeline timeline = Timeline())
        : request(std::move(request)),
          response(std::move(response)),
          data(std::move(data)),
          error(std::move(error)),
          timeline(timeline) {}

    std::optional<plat::urlloading::URLRequest> request;
    plat::urlloading::HTTPURLResponsePtr response;
    std::optional<plat::Data> data;
    plat::ErrorPtr error;
    Timeline timeline;
};

template <class T>
struct DataResponse : ResponseMetrics {
    DataResponse(std::optional<plat::urlloading::URLRequest> request,
                 plat::urlloading::HTTPURLResponsePtr response, std::optional<plat::Data> data,
                 Result<T> result, Timeline timeline = Timeline())
        : request(std::move(request)),
          response(std::move(response)),
          data(std::move(data)),
          result(std::move(result)),
          timeline(timeline) {}

    std::optional<plat::urlloading::URLRequest> request;
    plat::urlloading::HTTPURLResponsePtr response;
    std::optional<plat::Data> data;
    Result<T> result;
    Timeline timeline;

    std::optional<T> value() const { return result.value(); }
    plat::ErrorPtr error() const { return result.error(); }

    template <class F, class U = std::invoke_result_t<F&, const T&>>
    DataResponse<U> map(F&& transform) const {
        return rebuilt(result.map(std::forward<F>(transform)));
    }
    template <class F, class U = std::invoke_result_t<F&, const T&>>
    DataResponse<U> flatMap(F&& transform) const {
        return rebuilt(result.flatMap(std::forward<F>(transform)));
    }
    template <class F>
    DataResponse mapError(F&& transform) const {
        return rebuilt(result.mapError(std::forward<F>(transform)));
    }
    template <class F>
    DataResponse flatMapError(F&& transform) const {
        return rebuilt(result.flatMapError(std::forward<F>(transform)));
    }

    std::string description() const { return result.debugDescription(); }
    std::string debugDescription() const {
        return "[Request]: " + detail::requestText(request) + "\n[Request Body]: \n" +
               detail::requestBodyText(request) + "\n[Response]: " + detail::responseText(response) +
               "\n[Response Body]: \n" + detail::bodyText(data) + "\n[Result]: " + result.description() +
               "\n[Timeline]: " + timeline.debugDescription();
    }

  private:
    template <class U>
    DataResponse<U> rebuilt(Result<U> r) const {
        DataResponse<U> out(request, response, data, std::move(r), timeline);
        out._metrics = _metrics;
        return out;
    }
};

struct DefaultDownloadResponse : ResponseMetrics {
    DefaultDownloadResponse(std::optional<plat::urlloading::URLRequest> request,
                            plat::urlloading::HTTPURLResponsePtr response,
                            std::optional<plat::URL> temporaryURL, std::optional<plat::URL> destinationURL,
                            std::optional<plat::Data> resumeData, plat::ErrorPtr error,
                            Timeline timeline = Timeline())
        : request(std::move(request)),
          response(std::move(response)),
          temporaryURL(std::move(temporaryURL)),
          destinationURL(std::move(destinationURL)),
          resumeData(std::move(resumeData)),
          error(std::move(error)),
          timeline(timeline) {}

    std::optional<plat::urlloading::URLRequest> request;
    plat::urlloading::HTTPURLResponsePtr response;
    std::optional<plat::URL> temporaryURL;
    std::optional<plat::URL> destinationURL;
    std::optional<plat::Data> resumeData;
    plat::ErrorPtr error;
    Timeline timeline;
};

template <class T>
struct DownloadResponse : ResponseMetrics {
    DownloadResponse(std::optional<plat::urlloading::URLRequest> request,
                     plat::urlloading::HTTPURLResponsePtr response, std::optional<plat::URL> temporaryURL,
                     std::optional<plat::URL> destinationURL, std::optional<plat::Data> resumeData,
                     Result<T> result, Timeline timeline = Timeline())
        : request(std::move(request)),
          response(std::move(response)),
          temporaryURL(std::move(temporaryURL)),
          destinationURL(std::move(destinationURL)),
          resumeData(std::move(resumeData)),
          result(std::move(result)),
          timeline(timeline) {}

    std::optional<plat::urlloading::URLRequest> request;
    plat::urlloading::HTTPURLResponsePtr response;
    std::optional<plat::URL> temporaryURL;
    std::optional<plat::URL> destinationURL;
    std::optional<plat::Data> resumeData;
    Result<T> result;
    Timeline timeline;

    std::optional<T> value() const { return result.value(); }
    plat::ErrorPtr error() const { return result.error(); }

    template <class F, class U = std::invoke_result_t<F&, const T&>>
    DownloadResponse<U> map(F&& transform) const {
        return rebuilt(result.map(std::forward<F>(transform)));
    }
    template <class F, class U = std::invoke_result_t<F&, const T&>>
    DownloadResponse<U> flatMap(F&& transform) const {
        return rebuilt(result.flatMap(std::forward<F>(transform)));
    }
    template <class F>
    DownloadResponse mapError(F&& transform) const {
        return rebuilt(result.mapError(std::forward<F>(transform)));
    }
    template <class F>
    DownloadResponse flatMapError(F&& transform) const {
        return rebuilt(result.flatMapError(std::forward<F>(transform)));
    }

    std::string description() const { return result.debugDescription(); }
    std::string debugDescription() const {
        return "[Request]: " + detail::requestText(request) + "\n[Request Body]: \n" +
               detail::requestBodyText(request) + "\n[Response]: " + detail::responseText(response) +
               "\n[TemporaryURL]: " + detail::urlText(temporaryURL) +
               "\n[DestinationURL]: " + detail::urlText(destinationURL) +
               "\n[ResumeData]: " + std::to_string(resumeData ? resumeData->length() : 0) +
               " bytes\n[Result]: " + result.description() + "\n[Timeline]: " + timeline.debugDescription();
    }

  private:
    template <class U>
    DownloadResponse<U> rebuilt(Result<U> r) const {
        DownloadResponse<U> out(request, response, temporaryURL, destinationURL, resumeData, std::move(r),
                                timeline);
        out._metrics = _metrics;
        return out;
    }
};

}  // namespace httpclient

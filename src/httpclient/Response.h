// Response records: what a response handler hands to its caller once a
// request has finished. Plain values; the metrics are attached once, right
// after a record is built.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

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
    // Task metrics known as such need no check.
    template <class M>
    requires std::is_base_of_v<plat::urlloading::TaskMetrics, M>
    void add(const std::shared_ptr<M>& metrics) {
        if (metrics)
            _metrics = metrics;
    }
};

// The value accessors and transformations that the serialized records
// share. Record<U> is the same kind of record holding a Result<U>; each
// record rebuilds itself, metrics included, around a new result.
template <template <class> class Record, class T>
struct SerializedResponse : ResponseMetrics {
    // A record read in place hands out its result's own value (no copy of
    // the body for each look); a temporary one hands it over.
    const std::optional<T>& value() const& { return self().result.value(); }
    std::optional<T> value() && { return std::move(selfMutable().result).value(); }
    [[nodiscard]] plat::ErrorPtr error() const { return self().result.error(); }

    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Record<U> map(F&& transform) const {
        return self().rebuilt(self().result.map(std::forward<F>(transform)));
    }
    template <class F, class U = std::invoke_result_t<F&, const T&>>
    Record<U> flatMap(F&& transform) const {
        return self().rebuilt(self().result.flatMap(std::forward<F>(transform)));
    }
    template <class F>
    Record<T> mapError(F&& transform) const {
        return self().rebuilt(self().result.mapError(std::forward<F>(transform)));
    }
    template <class F>
    Record<T> flatMapError(F&& transform) const {
        return self().rebuilt(self().result.flatMapError(std::forward<F>(transform)));
    }

    std::string description() const { return self().result.debugDescription(); }

  private:
    const Record<T>& self() const { return static_cast<const Record<T>&>(*this); }
    Record<T>& selfMutable() { return static_cast<Record<T>&>(*this); }
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
struct DataResponse : SerializedResponse<DataResponse, T> {
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

    std::string debugDescription() const {
        return "[Request]: " + detail::requestText(request) + "\n[Request Body]: \n" +
               detail::requestBodyText(request) + "\n[Response]: " + detail::responseText(response) +
               "\n[Response Body]: \n" + detail::bodyText(data) + "\n[Result]: " + result.description() +
               "\n[Timeline]: " + timeline.debugDescription();
    }

  private:
    friend struct SerializedResponse<DataResponse, T>;
    template <class U>
    DataResponse<U> rebuilt(Result<U> r) const {
        DataResponse<U> out(request, response, data, std::move(r), timeline);
        out._metrics = this->_metrics;
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
struct DownloadResponse : SerializedResponse<DownloadResponse, T> {
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

    std::string debugDescription() const {
        return "[Request]: " + detail::requestText(request) + "\n[Request Body]: \n" +
               detail::requestBodyText(request) + "\n[Response]: " + detail::responseText(response) +
               "\n[TemporaryURL]: " + detail::urlText(temporaryURL) +
               "\n[DestinationURL]: " + detail::urlText(destinationURL) +
               "\n[ResumeData]: " + std::to_string(resumeData ? resumeData->length() : 0) +
               " bytes\n[Result]: " + result.description() + "\n[Timeline]: " + timeline.debugDescription();
    }

  private:
    friend struct SerializedResponse<DownloadResponse, T>;
    template <class U>
    DownloadResponse<U> rebuilt(Result<U> r) const {
        DownloadResponse<U> out(request, response, temporaryURL, destinationURL, resumeData, std::move(r),
                                timeline);
        out._metrics = this->_metrics;
        return out;
    }
};

}  // namespace httpclient

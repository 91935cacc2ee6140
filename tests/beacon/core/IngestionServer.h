// An ingestion endpoint on 127.0.0.1 for the telemetry tests: records every
// request (gzip bodies arrive inflated) and answers with scripted statuses.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace beactest {

class IngestionServer {
  public:
    struct Request {
        std::string method;
        std::string path;
        std::multimap<std::string, std::string> query;
        std::map<std::string, std::string> headers;  // names lower-cased
        std::string body;
        std::size_t wireLength = 0;  // Content-Length as sent
        std::string header(const std::string& name) const {
            auto it = headers.find(name);
            return it == headers.end() ? std::string() : it->second;
        }
    };
    struct Answer {
        int status = 200;
        std::map<std::string, std::string> headers;
    };

    IngestionServer() {
        server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Request recorded{request.method, request.path, {}, {}, request.body, 0};
            for (const auto& [key, value] : request.params)
                recorded.query.emplace(key, value);
            for (const auto& [key, value] : request.headers) {
                std::string lower;
                for (char c : key)
                    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                recorded.headers[lower] = value;
            }
            recorded.wireLength =
                std::stoul(recorded.header("content-length").empty() ? std::string("0")
                                                                     : recorded.header("content-length"));
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                if (!script_.empty()) {
                    answer = script_.front();
                    script_.pop_front();
                }
                requests_.push_back(recorded);
            }
            changed_.notify_all();
            response.status = answer.status;
            for (const auto& [name, value] : answer.headers)
                response.set_header(name, value);
            response.set_content("{}", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 2000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~IngestionServer() {
        server_.stop();
        thread_.join();
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void script(std::vector<Answer> answers) {
        std::lock_guard lock(mutex_);
        script_.insert(script_.end(), answers.begin(), answers.end());
    }
    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Waits (bounded) until `count` requests have arrived.
    bool waitForRequests(std::size_t count, double seconds = 20) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return requests_.size() >= count; });
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Answer> script_;
    std::vector<Request> requests_;
};

}  // namespace beactest

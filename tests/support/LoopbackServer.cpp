#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/foundation/JSONSerialization.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace testsupport {
namespace {

const char* kLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string gzip(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Parses name="value" or name=value pairs of an authentication header.
std::map<std::string, std::string> authParameters(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ','))
            ++i;
        size_t eq = text.find('=', i);
        if (eq == std::string::npos)
            break;
        std::string name = text.substr(i, eq - i);
        i = eq + 1;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            size_t end = text.find('"', i + 1);
            if (end == std::string::npos)
                break;
            value = text.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            size_t end = text.find(',', i);
            if (end == std::string::npos)
                end = text.size();
            value = text.substr(i, end - i);
            i = end;
        }
        out[name] = value;
    }
    return out;
}

std::string base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

const TestIdentity& identityFor(LoopbackServer::Certificate certificate) {
    const auto& c = TestCertificates::shared();
    switch (certificate) {
        case LoopbackServer::Certificate::Valid:
            return c.leaf;
        case LoopbackServer::Certificate::Expired:
            return c.expiredLeaf;
        case LoopbackServer::Certificate::WrongHost:
            return c.wrongHostLeaf;
        case LoopbackServer::Certificate::UnknownCA:
            return c.otherCaLeaf;
    }
    return c.leaf;
}

}  // namespace

struct LoopbackServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    bool tls = false;
    TempDir dir;
    std::string caFile;

    mutable std::mutex mutex;
    std::condition_variable released;
    bool stalledReleased = false;
    bool stopping = false;
    std::vector<RecordedRequest> requests;
    std::map<const httplib::Request*, std::size_t> lastIndexOf;
    std::atomic<bool> listenReturned{false};

    void record(const httplib::Request& req) {
        RecordedRequest r;
        r.method = req.method;
        r.path = req.path;
        for (const auto& [name, value] : req.headers) {
            std::string lower = name;
            for (auto& ch : lower)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            r.headers[lower] = value;
        }
        r.body = req.body;
        std::lock_guard lock(mutex);
        lastIndexOf[&req] = requests.size();
        requests.push_back(std::move(r));
    }

    // The pre-routing record comes before a POST body is read; a handler
    // that wants it recorded completes the entry.
    void recordBody(const httplib::Request& req) {
        std::lock_guard lock(mutex);
        auto found = lastIndexOf.find(&req);
        if (found != lastIndexOf.end())
            requests[found->second].body = req.body;
    }

    // Waits for releaseStalled() or shutdown; false when shutting down.
    bool waitForRelease() {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return stalledReleased || stopping; });
        return !stopping;
    }

    static void echo(const httplib::Request& req, httplib::Response& res) {
        plat::Dictionary headers;
        for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT")
                continue;
            headers.set(name, plat::Value(value));
        }
        std::string query;
        for (const auto& [name, value] : req.params) {
            query += (query.empty() ? "" : "&") + name + "=" + value;
        }
        plat::Dictionary body{{"method", plat::Value(req.method)},
                              {"path", plat::Value(req.path)},
                              {"query", plat::Value(query)},
                              {"headers", plat::Value(std::move(headers))},
                              {"body", plat::Value(req.body)}};
        auto text = plat::JSONSerialization::stringWithJSONObject(plat::Value(std::move(body)));
        res.set_content(text ? *text : std::string("{}"), "application/json");
    }

    // httplib applies a request's Range to a provider of known length by
    // itself (206, Content-Range, offsets from the range start); a
    // mismatching If-Range is served whole through a chunked provider, which
    // httplib leaves alone.
    void serveBytes(const httplib::Request& req, httplib::Response& res, size_t total) {
        const std::string etag = "\"bytes-" + std::to_string(total) + "\"";
        res.set_header("ETag", etag);
        res.set_header("Last-Modified", kLastModified);
        res.set_header("Accept-Ranges", "bytes");
        if (req.has_param("disposition"))
            res.set_header("Content-Disposition", req.get_param_value("disposition"));
        if (total == 0) {
            // httplib sends a provider of no length with neither a length
            // nor chunks, which leaves a keep-alive client waiting.
            res.set_content("", "application/octet-stream");
            return;
        }
        const std::string range = req.get_header_value("Range");
        const std::string ifRange = req.get_header_value("If-Range");
        const bool honour = ifRange.empty() || ifRange == etag || ifRange == kLastModified;
        const size_t start = honour && range.rfind("bytes=", 0) == 0 ? std::stoull(range.substr(6)) : 0;
        const size_t drop = req.has_param("drop") ? std::stoull(req.get_param_value("drop")) : SIZE_MAX;
        const size_t stall = req.has_param("stall") ? std::stoull(req.get_param_value("stall")) : SIZE_MAX;
        const size_t chunk = req.has_param("chunk") ? std::stoull(req.get_param_value("chunk")) : 16384;
        const int slowMs = req.has_param("slow") ? std::stoi(req.get_param_value("slow")) : 0;
        auto body = std::make_shared<std::string>();
        // drop and stall name absolute positions in the body, so that a
        // resumed request starting past them runs to the end.
        auto write = [this, body, start, total, drop, stall, chunk, slowMs](size_t at,
                                                                            httplib::DataSink& sink) {
            if (drop > start && at >= drop)
                return false;
            if (stall > start && at >= stall && !waitForRelease())
                return false;
            size_t n = std::min(total - at, chunk);
            if (drop > start && at < drop)
                n = std::min(n, drop - at);
            if (stall > start && at < stall)
                n = std::min(n, stall - at);
            if (slowMs > 0 && at > start) {
                std::unique_lock lock(mutex);
                if (released.wait_for(lock, std::chrono::milliseconds(slowMs), [&] { return stopping; }))
                    return false;
            }
            *body = bytesBody(n, at);
            return sink.write(body->data(), body->size());
        };
        if (honour) {
            res.set_content_provider(
                total, "application/octet-stream",
                [write](size_t at, size_t, httplib::DataSink& sink) { return write(at, sink); });
        } else {
            res.set_chunked_content_provider("application/octet-stream",
                                             [write, total](size_t at, httplib::DataSink& sink) {
                                                 if (at >= total) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 return write(at, sink);
                                             });
        }
    }

    bool authorized(const httplib::Request& req, const std::string& user, const std::string& password,
                    bool digest) {
        std::string header = req.get_header_value("Authorization");
        if (!digest)
            return header == "Basic " + base64(user + ":" + password);
        if (header.rfind("Digest ", 0) != 0)
            return false;
        auto p = authParameters(header.substr(7));
        if (p["username"] != user || p["realm"] != "test" || p["nonce"] != "abc123")
            return false;
        std::string ha1 = md5Hex(user + ":test:" + password);
        std::string ha2 = md5Hex(req.method + ":" + p["uri"]);
        std::string expected = p.count("qop") ? md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" +
                                                       p["cnonce"] + ":" + p["qop"] + ":" + ha2)
                                              : md5Hex(ha1 + ":" + p["nonce"] + ":" + ha2);
        return p["response"] == expected;
    }

    static bool bodyless(int status, const std::string& method) {
        return status == 204 || status == 304 || method == "HEAD";
    }

    void routes() {
        auto& s = *server;
        // A body after a 204 or 304 would be read as the start of the next
        // response on a reused connection.
        s.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            // Every handler has read the body by now: the record keeps it.
            recordBody(req);
            if (res.status == 204 || res.status == 304) {
                res.body.clear();
                res.headers.erase("Content-Length");
                res.headers.erase("Content-Type");
            }
        });
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            record(req);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        s.Get("/echo", echo);
        s.Post("/echo", echo);
        s.Put("/echo", echo);
        s.Delete("/echo", echo);
        s.Patch("/echo", echo);
        s.Options("/echo", echo);
        auto upload = [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("{\"length\":" + std::to_string(req.body.size()) + "}", "application/json");
        };
        s.Post("/upload", upload);
        // An ingestion endpoint that takes whatever it is sent.
        s.Post(R"(/accept(/.*)?)", [this](const httplib::Request& req, httplib::Response& res) {
            recordBody(req);
            res.set_content("{}", "application/json");
        });
        s.Put("/upload", upload);
        auto status = [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            auto count = req.get_param_value_count("header");
            for (size_t i = 0; i < count; ++i) {
                std::string h = req.get_param_value("header", i);
                auto colon = h.find(':');
                if (colon != std::string::npos)
                    res.set_header(h.substr(0, colon), h.substr(colon + 1));
            }
            // 204 and 304 carry no body whatever was asked for.
            if ((req.has_param("body") || req.has_param("type")) && !bodyless(res.status, req.method)) {
                res.set_content(req.get_param_value("body"), req.get_param_value("type").c_str());
            }
        };
        s.Get(R"(/status/(\d+))", status);
        s.Post(R"(/status/(\d+))", status);
        s.Get(R"(/bytes/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            serveBytes(req, res, std::stoull(req.matches[1]));
        });
        auto redirect = [](const httplib::Request& req, httplib::Response& res) {
            int n = std::stoi(req.matches[1]);
            int code = req.has_param("status") ? std::stoi(req.get_param_value("status")) : 302;
            std::string target = n > 0 ? "/redirect/" + std::to_string(n - 1) : "/echo";
            if (n > 0 && req.has_param("status"))
                target += "?status=" + std::to_string(code);
            res.status = code;
            res.set_header("Location", target);
            res.set_content("redirecting", "text/plain");
        };
        s.Get(R"(/redirect/(\d+))", redirect);
        s.Post(R"(/redirect/(\d+))", redirect);
        s.Get("/redirect-to", [](const httplib::Request& req, httplib::Response& res) {
            res.status = req.has_param("status") ? std::stoi(req.get_param_value("status")) : 302;
            res.set_header("Location", req.get_param_value("url"));
        });
        s.Get("/loop", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "/loop");
        });
        auto auth = [this](bool digest) {
            return [this, digest](const httplib::Request& req, httplib::Response& res) {
                if (authorized(req, req.matches[1], req.matches[2], digest))
                    return echo(req, res);
                res.status = 401;
                res.set_header("WWW-Authenticate",
                               digest ? "Digest realm=\"test\", nonce=\"abc123\", qop=\"auth\", algorithm=MD5"
                                      : "Basic realm=\"test\"");
                res.set_content("unauthorized", "text/plain");
            };
        };
        s.Get(R"(/basic-auth/([^/]+)/([^/]+))", auth(false));
        s.Post(R"(/basic-auth/([^/]+)/([^/]+))", auth(false));
        s.Put(R"(/basic-auth/([^/]+)/([^/]+))", auth(false));
        s.Get(R"(/digest-auth/([^/]+)/([^/]+))", auth(true));
        s.Get("/cookies/set", [](const httplib::Request& req, httplib::Response& res) {
            for (const auto& [name, value] : req.params)
                res.set_header("Set-Cookie", name + "=" + value + "; Path=/");
            res.set_content("set", "text/plain");
        });
        s.Get("/cookies", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("Cookie"), "text/plain");
        });
        s.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Encoding", "gzip");
            // A type the server would not compress a second time.
            res.set_content(gzip(gzipBodyText()), "application/octet-stream");
        });
        s.Get(R"(/gzip-zeros/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Content-Encoding", "gzip");
            res.set_content(gzip(std::string(std::stoull(req.matches[1]), '\0')), "application/octet-stream");
        });
        s.Get(R"(/big-header/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("X-Big", std::string(std::stoull(req.matches[1]), 'a'));
            res.set_content("small body", "text/plain");
        });
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            waitForRelease();
            res.set_content("late", "text/plain");
        });
    }

    std::vector<uint8_t> stapledOCSP;

    static int staple(SSL* ssl, void* arg) {
        const auto& der = static_cast<Impl*>(arg)->stapledOCSP;
        if (der.empty())
            return SSL_TLSEXT_ERR_NOACK;
        auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(der.size()));
        std::memcpy(copy, der.data(), der.size());
        SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(der.size()));
        return SSL_TLSEXT_ERR_OK;
    }

    void start(const TestIdentity* identity, const TLSOptions* options = nullptr) {
        if (identity) {
            tls = true;
            BIO* bio = BIO_new_mem_buf(identity->certificatePem.data(),
                                       static_cast<int>(identity->certificatePem.size()));
            X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
            bio = BIO_new_mem_buf(identity->privateKeyPem.data(),
                                  static_cast<int>(identity->privateKeyPem.size()));
            EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
            X509_STORE* clientCAs = nullptr;
            if (options && options->requireClientCertificate) {
                const auto& ca = TestCertificates::shared().ca.certificatePem;
                bio = BIO_new_mem_buf(ca.data(), static_cast<int>(ca.size()));
                X509* caCert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
                BIO_free(bio);
                clientCAs = X509_STORE_new();
                X509_STORE_add_cert(clientCAs, caCert);
                X509_free(caCert);
            }
            // The server takes the store (it frees it).
            auto ssl = std::make_unique<httplib::SSLServer>(cert, key, clientCAs);
            if (options && !options->stapledOCSP.empty()) {
                stapledOCSP = options->stapledOCSP;
                SSL_CTX_set_tlsext_status_cb(ssl->ssl_context(), staple);
                SSL_CTX_set_tlsext_status_arg(ssl->ssl_context(), this);
            }
            server = std::move(ssl);
            X509_free(cert);
            EVP_PKEY_free(key);
        } else {
            server = std::make_unique<httplib::Server>();
        }
        caFile = (dir / "ca.pem").string();
        if (FILE* f = std::fopen(caFile.c_str(), "w")) {
            const auto& pem = TestCertificates::shared().ca.certificatePem;
            std::fwrite(pem.data(), 1, pem.size(), f);
            std::fclose(f);
        }
        // A kept-alive connection holds one of the server's threads until it
        // idles out: with no more threads than a client keeps connections,
        // one connection more (a new client while an old one's connections
        // are open) waits the whole keep-alive timeout.
        server->new_task_queue = [] { return new httplib::ThreadPool(64); };
        server->set_keep_alive_timeout(1);
        server->set_keep_alive_max_count(100000);
        server->set_tcp_nodelay(true);
        // Generous: a client may hold a transfer suspended on a loaded machine.
        server->set_read_timeout(30);
        server->set_write_timeout(30);
        // The listener's queue of connections not yet accepted: the library
        // listens with room for 5, and a client opening more at once (a
        // connection pool refilling after the server closed idle ones) has
        // a SYN dropped, which costs it a second before it tries again.
        // Listening again on the bound socket makes the queue longer.
        int listener = -1;
        server->set_socket_options([&listener](socket_t socket) {
            httplib::default_socket_options(socket);
            listener = socket;
        });
        routes();
        port = server->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("LoopbackServer: cannot bind 127.0.0.1");
        if (listener >= 0)
            (void)::listen(listener, 128);
        thread = std::thread([this] {
            server->listen_after_bind();
            listenReturned = true;
        });
        // stop() only interrupts a server that is already listening: one
        // issued earlier is lost and the listener would run forever. So the
        // constructor returns only once the listener is up.
        while (!server->is_running() && !listenReturned)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    ~Impl() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        released.notify_all();
        server->stop();
        if (thread.joinable())
            thread.join();
    }
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {
    impl_->start(nullptr);
}

LoopbackServer::LoopbackServer(Certificate certificate) : impl_(std::make_unique<Impl>()) {
    impl_->start(&identityFor(certificate));
}

LoopbackServer::LoopbackServer(const TLSOptions& options) : impl_(std::make_unique<Impl>()) {
    if (!options.identity)
        throw std::invalid_argument("LoopbackServer: TLS options without an identity");
    impl_->start(options.identity, &options);
}

LoopbackServer::~LoopbackServer() = default;

int LoopbackServer::port() const {
    return impl_->port;
}
bool LoopbackServer::isTLS() const {
    return impl_->tls;
}
std::string LoopbackServer::url(const std::string& path) const {
    return std::string(impl_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(impl_->port) + path;
}
std::string LoopbackServer::caFile() const {
    return impl_->caFile;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::size_t LoopbackServer::requestCount(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& r : impl_->requests)
        n += r.path == path;
    return n;
}

void LoopbackServer::releaseStalled() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stalledReleased = true;
    }
    impl_->released.notify_all();
}

std::string LoopbackServer::bytesBody(std::size_t n, std::size_t offset) {
    std::string out(n, '\0');
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = offset + k;
        out[k] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return out;
}

std::string LoopbackServer::gzipBodyText() {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "compressible line " + std::to_string(i % 10) + "\n";
    return text;
}

int closedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testsupport

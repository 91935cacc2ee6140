#include "platform/urlloading/detail/HTTPAuthentication.h"

#include <cstdio>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/security/Digest.h"

namespace plat::urlloading::detail {
namespace {

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string md5Hex(const std::string& text) {
    return security::hexDigest(security::md5(text), false);
}

// Splits a header into challenges: a scheme token followed by parameters.
std::vector<AuthChallengeHeader> parseAll(const std::string& text) {
    std::vector<AuthChallengeHeader> out;
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '\t'))
            ++i;
    };
    while (true) {
        skip();
        if (i >= text.size())
            break;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '=' && text[i] != ',')
            ++i;
        std::string token = text.substr(start, i - start);
        if (i < text.size() && text[i] == '=' && !out.empty()) {
            // A parameter of the current challenge.
            ++i;
            std::string value;
            if (i < text.size() && text[i] == '"') {
                ++i;
                while (i < text.size() && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < text.size())
                        ++i;
                    value += text[i++];
                }
                ++i;
            } else {
                size_t vstart = i;
                while (i < text.size() && text[i] != ',')
                    ++i;
                value = text.substr(vstart, i - vstart);
                while (!value.empty() && value.back() == ' ')
                    value.pop_back();
            }
            out.back().parameters[lower(token)] = value;
        } else if (!token.empty()) {
            out.push_back({lower(token), {}});
        } else {
            ++i;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> AuthChallengeHeader::realm() const {
    auto it = parameters.find("realm");
    if (it == parameters.end())
        return std::nullopt;
    return it->second;
}

std::optional<AuthChallengeHeader> parseWWWAuthenticate(const std::string& header) {
    std::optional<AuthChallengeHeader> basic;
    for (auto& c : parseAll(header)) {
        if (c.scheme == "digest") {
            auto algorithm = c.parameters.find("algorithm");
            if (algorithm == c.parameters.end() || lower(algorithm->second) == "md5")
                return c;
        }
        if (c.scheme == "basic" && !basic)
            basic = c;
    }
    return basic;
}

std::string basicAuthorization(const std::string& user, const std::string& password) {
    return "Basic " + Data::fromString(user + ":" + password).base64EncodedString();
}

std::string digestAuthorization(const AuthChallengeHeader& challenge, const std::string& method,
                                const std::string& uri, const std::string& user, const std::string& password,
                                const std::string& clientNonce, unsigned nonceCount) {
    auto param = [&](const char* name) {
        auto it = challenge.parameters.find(name);
        return it == challenge.parameters.end() ? std::string() : it->second;
    };
    std::string algorithm = param("algorithm");
    if (!algorithm.empty() && lower(algorithm) != "md5")
        return {};
    std::string realm = param("realm"), nonce = param("nonce"), opaque = param("opaque");
    bool qopAuth = false;
    const std::string qop = param("qop");
    for (size_t start = 0; !qop.empty();) {
        size_t end = qop.find(',', start);
        std::string item = qop.substr(start, end == std::string::npos ? std::string::npos : end - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (item == "auth")
            qopAuth = true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    char nc[9];
    std::snprintf(nc, sizeof nc, "%08x", nonceCount);
    std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
    std::string ha2 = md5Hex(method + ":" + uri);
    std::string response = qopAuth ? md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + clientNonce + ":auth:" + ha2)
                                   : md5Hex(ha1 + ":" + nonce + ":" + ha2);
    auto quote = [](const std::string& s) {
        std::string out = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "\"";
    };
    std::string out = "Digest username=" + quote(user) + ", realm=" + quote(realm) +
                      ", nonce=" + quote(nonce) + ", uri=" + quote(uri) + ", response=\"" + response +
                      "\", algorithm=MD5";
    if (qopAuth)
        out += ", qop=auth, nc=" + std::string(nc) + ", cnonce=" + quote(clientNonce);
    if (!opaque.empty())
        out += ", opaque=" + quote(opaque);
    return out;
}

}  // namespace plat::urlloading::detail

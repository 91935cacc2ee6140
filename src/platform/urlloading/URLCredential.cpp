#include "platform/urlloading/URLCredential.h"

#include <algorithm>
#include <tuple>

namespace plat::urlloading {
namespace {

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

auto key(const URLProtectionSpace& s) {
    return std::make_tuple(lower(s.host), s.port, s.protocol, s.realm, s.authenticationMethod);
}

}  // namespace

bool URLProtectionSpace::operator==(const URLProtectionSpace& other) const {
    return key(*this) == key(other);
}
bool URLProtectionSpace::operator<(const URLProtectionSpace& other) const {
    return key(*this) < key(other);
}

const std::shared_ptr<URLCredentialStorage>& URLCredentialStorage::shared() {
    static const auto storage = std::make_shared<URLCredentialStorage>();
    return storage;
}

std::optional<std::vector<std::pair<std::string, URLCredential>>>
URLCredentialStorage::credentialsForProtectionSpace(const URLProtectionSpace& space) const {
    plat::MutexLock lock(mutex_);
    auto it = spaces_.find(space);
    if (it == spaces_.end())
        return std::nullopt;
    return it->second.credentials;
}

namespace {

// What a credential is stored under: its user, or for a client-certificate
// credential the subject of its certificate.
std::optional<std::string> keyOf(const URLCredential& credential) {
    if (credential.user)
        return credential.user;
    if (credential.identity)
        return "identity:" + credential.identity->certificate()->subjectSummary();
    return std::nullopt;
}

}  // namespace

std::optional<URLCredential> URLCredentialStorage::defaultCredentialForProtectionSpace(
    const URLProtectionSpace& space) const {
    plat::MutexLock lock(mutex_);
    auto it = spaces_.find(space);
    if (it == spaces_.end() || !it->second.defaultUser)
        return std::nullopt;
    for (const auto& [user, credential] : it->second.credentials) {
        if (user == *it->second.defaultUser)
            return credential;
    }
    return std::nullopt;
}

void URLCredentialStorage::setCredential(const URLCredential& credential, const URLProtectionSpace& space) {
    auto key = keyOf(credential);
    if (!key || credential.persistence == URLCredentialPersistence::None)
        return;
    plat::MutexLock lock(mutex_);
    auto& entry = spaces_[space];
    auto it = std::find_if(entry.credentials.begin(), entry.credentials.end(),
                           [&](const auto& p) { return p.first == *key; });
    if (it == entry.credentials.end()) {
        entry.credentials.emplace_back(*key, credential);
    } else {
        it->second = credential;
    }
}

void URLCredentialStorage::setDefaultCredential(const URLCredential& credential,
                                                const URLProtectionSpace& space) {
    setCredential(credential, space);
    auto key = keyOf(credential);
    if (!key || credential.persistence == URLCredentialPersistence::None)
        return;
    plat::MutexLock lock(mutex_);
    spaces_[space].defaultUser = *key;
}

void URLCredentialStorage::removeCredential(const URLCredential& credential,
                                            const URLProtectionSpace& space) {
    plat::MutexLock lock(mutex_);
    auto it = spaces_.find(space);
    auto key = keyOf(credential);
    if (it == spaces_.end() || !key)
        return;
    auto& list = it->second.credentials;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p.first == *key; }),
               list.end());
    if (it->second.defaultUser == key)
        it->second.defaultUser.reset();
}

}  // namespace plat::urlloading

#include "web_access.h"

#include <sodium.h>

#include <algorithm>

namespace dvrweb {

namespace {

// A hash of a password nobody has, so that an unknown user costs a check too.
const std::string& DummyHash()
{
    static const std::string hash = [] {
        char text[crypto_pwhash_STRBYTES] = {};
        if (crypto_pwhash_str(text, "-", 1, crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
            return std::string();  // out of memory: every check fails at once
        }
        return std::string(text);
    }();
    return hash;
}

}  // namespace

std::string WebAccess::TokenOf(const std::string& cookieHeader)
{
    const std::string key = std::string(kSessionCookie) + "=";
    std::size_t at = 0;
    while ((at = cookieHeader.find(key, at)) != std::string::npos) {
        if (at == 0 || cookieHeader[at - 1] == ' ' || cookieHeader[at - 1] == ';') {
            const std::size_t begin = at + key.size();
            return cookieHeader.substr(begin, cookieHeader.find(';', begin) - begin);
        }
        at += key.size();
    }
    return {};
}

std::optional<std::string> WebAccess::UserOf(const std::string& cookieHeader, Clock::time_point now)
{
    const auto found = sessions_.find(TokenOf(cookieHeader));
    if (found == sessions_.end()) {
        return std::nullopt;
    }
    if (found->second.expires < now) {
        sessions_.erase(found);
        return std::nullopt;
    }
    return found->second.user;
}

std::chrono::milliseconds WebAccess::LoginDelay(const std::string& address, Clock::time_point now) const
{
    const auto found = failures_.find(address);
    if (found == failures_.end() || now - found->second.last > std::chrono::hours(1)) {
        return std::chrono::milliseconds(0);
    }
    const unsigned doublings = std::min(found->second.count, 16u);
    return std::min<std::chrono::milliseconds>(std::chrono::milliseconds(125LL << doublings), kMaxLoginDelay);
}

bool WebAccess::CheckPassword(const std::string& user, const std::string& password) const
{
    const auto found = users_.find(user);
    const std::string& hash = found != users_.end() ? found->second : DummyHash();
    const bool passed = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return passed && found != users_.end();
}

std::optional<std::string> WebAccess::Admit(const std::string& address, const std::string& user, bool passed,
                                            Clock::time_point now)
{
    if (!passed) {
        if (failures_.size() >= kMaxAddresses && failures_.count(address) == 0) {
            failures_.erase(std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
                return a.second.last < b.second.last;
            }));
        }
        Failures& failures = failures_[address];
        ++failures.count;
        failures.last = now;
        return std::nullopt;
    }
    failures_.erase(address);
    if (sessions_.size() >= kMaxSessions) {
        sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.expires < b.second.expires;
        }));
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char token[sizeof random * 2 + 1];
    sodium_bin2hex(token, sizeof token, random, sizeof random);
    sessions_[token] = {user, now + kSessionLifetime};
    return std::string(token);
}

void WebAccess::Logout(const std::string& cookieHeader)
{
    sessions_.erase(TokenOf(cookieHeader));
}

}  // namespace dvrweb

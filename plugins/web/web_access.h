// Who may look: the users of web.conf, their sessions, and the pace of
// failed logins.
//
// A listener on a loopback address is open to everyone on the machine
// (open() true) unless users are configured; then, and on any other address,
// every API request needs a session: a random token in an HttpOnly,
// SameSite=Strict cookie, handed out by a login with a user's password.
// Passwords are kept as libsodium's salted Argon2id hashes and checked by
// libsodium (constant time). Each failed login from an address doubles the
// wait that address's next login gets (up to kMaxLoginDelay); the table of
// addresses and the sessions are bounded.
//
// Network thread only, except CheckPassword, which is slow by design and
// runs on the media thread.
#ifndef DVRCORE_WEB_WEB_ACCESS_H
#define DVRCORE_WEB_WEB_ACCESS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace dvrweb {

constexpr char kSessionCookie[] = "dvr_session";

class WebAccess {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMaxLoginDelay{10000};
    static constexpr std::chrono::hours kSessionLifetime{12};
    static constexpr std::size_t kMaxSessions = 1024;
    static constexpr std::size_t kMaxAddresses = 4096;

    WebAccess(std::map<std::string, std::string> users, bool loopback)
        : users_(std::move(users)), open_(loopback && users_.empty())
    {
    }

    bool open() const { return open_; }

    // The user of a session token from a Cookie header, if it is valid.
    std::optional<std::string> UserOf(const std::string& cookieHeader, Clock::time_point now);

    // How long a login from `address` waits before it is checked.
    std::chrono::milliseconds LoginDelay(const std::string& address, Clock::time_point now) const;

    // Any thread: whether `password` is `user`'s. Takes as long for an
    // unknown user as for a known one.
    bool CheckPassword(const std::string& user, const std::string& password) const;

    // After CheckPassword: a new session token, or nothing (failure counted).
    std::optional<std::string> Admit(const std::string& address, const std::string& user, bool passed,
                                     Clock::time_point now);
    void Logout(const std::string& cookieHeader);

private:
    struct Session {
        std::string user;
        Clock::time_point expires;
    };
    struct Failures {
        unsigned count = 0;
        Clock::time_point last;
    };

    static std::string TokenOf(const std::string& cookieHeader);

    const std::map<std::string, std::string> users_;  // name -> hash; read-only
    const bool open_;
    std::map<std::string, Session> sessions_;
    std::map<std::string, Failures> failures_;
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_WEB_ACCESS_H

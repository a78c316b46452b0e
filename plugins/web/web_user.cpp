// web-user NAME: reads a password (twice, without echo on a terminal, or one
// line from a pipe) and prints the web.conf line that admits NAME with it:
//   user = NAME:$argon2id$...
// The hash is libsodium's Argon2id with a random salt; the password itself
// is kept nowhere.
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

std::string ReadPassword(const char* prompt, bool terminal)
{
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "%s", prompt);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string password;
    std::getline(std::cin, password);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    return password;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || argv[1][0] == '\0' || std::strchr(argv[1], ':') != nullptr || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: web-user NAME   (prints a web.conf line; NAME without ':')\n");
        return 2;
    }
    if (sodium_init() < 0) {
        std::fprintf(stderr, "web-user: libsodium cannot start\n");
        return 1;
    }
    const bool terminal = isatty(STDIN_FILENO) != 0;
    const std::string password = ReadPassword("password: ", terminal);
    if (password.empty() || (terminal && ReadPassword("again: ", terminal) != password)) {
        std::fprintf(stderr, "web-user: %s\n", password.empty() ? "an empty password" : "the passwords differ");
        return 1;
    }
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        std::fprintf(stderr, "web-user: out of memory\n");
        return 1;
    }
    std::printf("user = %s:%s\n", argv[1], hash);
    return 0;
}

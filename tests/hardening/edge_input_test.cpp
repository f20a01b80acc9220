// Requests at the edges of what the host reads, through the built host: the token bound, deep
// nesting, member buffers, the frame bound, invalid UTF-8 and NUL bytes. Each is answered with
// one frame of valid JSON (valid UTF-8 included) and exit code 0.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_process.h"

using hosttest::HostOptions;
using hosttest::HostRun;
using hosttest::TempDir;

namespace {

const std::string INFO = R"({"version":"2.0.2","binVersion":"2.0.14"})";

std::string length_prefix(uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

class EdgeInput : public testing::Test {
protected:
    HostOptions options() const {
        HostOptions o;
        o.env["HOME"] = home_.path();
        o.unset_env = {"XDG_DATA_HOME", "DISPLAY", "WAYLAND_DISPLAY"};
        return o;
    }
    // The answer to stdin as given; it must be one frame of valid JSON, exit code 0.
    nlohmann::json answer_to(const std::string& input, std::string* text = nullptr) {
        const HostRun run = hosttest::run_host(input, options());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_FALSE(run.timed_out);
        const auto answer = run.answer();
        EXPECT_TRUE(answer.has_value()) << "not one frame: " << run.out.size() << " bytes";
        if (text) *text = answer.value_or("");
        try {
            return nlohmann::json::parse(answer.value_or(""));  // throws on invalid UTF-8 as well
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << "\nanswer: " << answer.value_or("");
            return nullptr;
        }
    }
    nlohmann::json answer(const std::string& json, std::string* text = nullptr) {
        return answer_to(hosttest::frame(json), text);
    }
    static std::string message(const nlohmann::json& j) {
        return j.contains("error") ? j["error"]["message"].get<std::string>() : std::string();
    }
    TempDir home_;
};

// {"cmd":"GET_INFO","a":[0,0,...]}: object, two keys, two values, the array and its elements.
std::string request_with_tokens(int tokens) {
    std::string text = R"({"cmd":"GET_INFO","a":[)";
    for (int i = 0; i < tokens - 5; ++i) text += i ? ",0" : "0";
    return text + "]}";
}

}  // namespace

TEST_F(EdgeInput, TokenBoundIs250) {
    EXPECT_EQ(answer(request_with_tokens(250)), nlohmann::json::parse(INFO));
    const auto refused = answer(request_with_tokens(251));
    EXPECT_EQ(refused["error"]["code"], 99);
    EXPECT_EQ(message(refused).rfind("Invalid JSON message [", 0), 0u) << message(refused);
}

TEST_F(EdgeInput, DeepNesting) {
    // Nesting within the token bound is no different from any other structure.
    std::string nested = R"({"cmd":"GET_INFO","a":)" + std::string(240, '[') + std::string(240, ']') + "}";
    EXPECT_EQ(answer(nested), nlohmann::json::parse(INFO));
    // A million open brackets, closed or not: refused as invalid JSON, promptly, one valid answer.
    for (const std::string& deep : {std::string(1000000, '['), std::string(500000, '[') + std::string(500000, ']'),
                                    std::string(300000, '{') + R"("cmd":"GET_INFO")"}) {
        std::string text;
        const auto refused = answer(deep, &text);
        EXPECT_EQ(refused["error"]["code"], 99);
        EXPECT_EQ(message(refused).rfind("Invalid JSON message [[", 0) == 0 ||
                      message(refused).rfind("Invalid JSON message [{", 0) == 0,
                  true);
        EXPECT_LT(text.size(), 4096u);  // the quoted request is cut, not copied whole
    }
}

TEST_F(EdgeInput, CommandNameBuffer) {
    const std::string name98(98, 'C');
    EXPECT_EQ(message(answer(R"({"cmd":")" + name98 + R"("})")),
              "Error handling JSON message [{ cmd : " + name98 + " }]. Unknown command [" + name98 + "]");
    // One more character is cut: the name read holds 98.
    const std::string name99 = name98 + "X";
    EXPECT_EQ(message(answer(R"({"cmd":")" + name99 + R"("})")),
              "Error handling JSON message [{ cmd : " + name99 + " }]. Unknown command [" + name98 + "]");
    // A known command cut out of a longer name is not that command.
    EXPECT_EQ(answer(R"({"cmd":"GET_INFOX"})")["error"]["code"], 99);
    // A long name is quoted twice; the message is cut to the error scratch of 1998 characters.
    EXPECT_LE(message(answer(R"({"cmd":")" + std::string(4096, 'G') + R"("})")).size(), 1998u);
}

TEST_F(EdgeInput, FrameBound) {
    // The largest frame, of invalid JSON: the answer quotes the start of it and stays valid.
    std::string big(4194302, 'x');
    big[0] = '{';
    const auto largest = answer(big);
    EXPECT_EQ(largest["error"]["code"], 99);
    // One byte more is refused from the prefix alone.
    std::string text;
    const auto refused = answer_to(length_prefix(4194303) + big + "x", &text);
    EXPECT_EQ(text, "{\"error\": { \"code\":99,\"id\":99,\"message\":\"No request received after 10 seconds\"}}\n");
}

TEST_F(EdgeInput, InvalidUtf8IsAnsweredAsValidJson) {
    const std::string bad[] = {
        "\xff\xfe",          // never valid
        "\xc0\xaf",          // overlong "/"
        "\xed\xa0\x80",      // an encoded surrogate
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "\xe2\x82",          // cut short
        "\x80",              // a lone continuation byte
    };
    for (const std::string& bytes : bad) {
        // In a string (the tokenizer takes any byte there) and echoed in the answer.
        const auto inString = answer(R"({"cmd":")" + bytes + R"(","x":")" + bytes + R"("})");
        EXPECT_EQ(inString["error"]["code"], 99);
        EXPECT_NE(message(inString).find("Unknown command ["), std::string::npos);
        // Outside a string it is no JSON at all.
        EXPECT_EQ(answer("{\"cmd\":" + bytes + "}")["error"]["code"], 99);
        // At the very end of the text.
        EXPECT_EQ(answer(R"({"cmd":"GET_INFO"})" + bytes)["error"]["code"], 99);
    }
    // Valid multi-byte text comes back as it was sent.
    const std::string name = "GET_\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91";
    EXPECT_NE(message(answer(R"({"cmd":")" + name + R"("})")).find("Unknown command [" + name + "]"),
              std::string::npos);
}

TEST_F(EdgeInput, NulBytesEndTheText) {
    using namespace std::string_literals;
    // Everything after a NUL is not part of the request.
    EXPECT_EQ(answer("{\"cmd\":\"GET_INFO\"}\0garbage"s), nlohmann::json::parse(INFO));
    // The text then ends inside a string: from there on it is hidden.
    EXPECT_EQ(message(answer("{\"cmd\":\"GET_\0INFO\"}"s)), "Invalid JSON message [{ cmd :***]");
    EXPECT_EQ(message(answer("\0{\"cmd\":\"GET_INFO\"}"s)), "Invalid JSON message []");
    // Escaped NULs and control characters stay text and are answered escaped.
    const auto escaped = answer(R"({"cmd":"A\u0000B"})");
    EXPECT_EQ(message(escaped), R"(Error handling JSON message [{ cmd : A\u0000B }]. Unknown command [A\u0000B])");
    const auto raw = answer("{\"cmd\":\"A\x01\x1f\tB\"}");
    EXPECT_EQ(message(raw), "Error handling JSON message [{ cmd : A\x01\x1f\tB }]. Unknown command [A\x01\x1f\tB]");
}

TEST_F(EdgeInput, TimeoutMembersOutOfRange) {
    // No sleep, and limits that overflow a 32-bit count of seconds or are negative: one answer each.
    for (const char* limit : {"99999999999999999999", "-1", "-99999999999", "2147483648", "0x10", "1e9"}) {
        const auto a = answer(std::string(R"({"cmd":"TIMEOUT","sleep":"-5","timeout":")") + limit + "\"}");
        EXPECT_TRUE(a == nlohmann::json::parse(R"({"rested":true})") || a["error"]["code"] == 14) << limit << a;
    }
}

// The state file and its folder are the owner's alone, whatever the umask and however the folder
// was left by someone else.
TEST_F(EdgeInput, StateFolderStaysPrivate) {
    const std::string folder = home_.path() + "/.local/share/Veldra";
    auto mode_of = [](const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    const mode_t saved = umask(0);
    EXPECT_EQ(answer(R"({"cmd":"GET_INFO"})"), nlohmann::json::parse(INFO));
    EXPECT_EQ(mode_of(folder), 0700u);
    EXPECT_EQ(mode_of(folder + "/appstate"), 0600u);
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_EQ(mode_of(entry.path()) & 077, 0u) << entry.path();
    chmod(folder.c_str(), 0777);
    chmod((folder + "/appstate").c_str(), 0644);
    EXPECT_EQ(answer(R"({"cmd":"GET_INFO"})"), nlohmann::json::parse(INFO));
    umask(saved);
    EXPECT_EQ(mode_of(folder), 0700u);
    EXPECT_EQ(mode_of(folder + "/appstate"), 0600u);
}

// Whatever the reader would take as the PIN or the token, in every form it accepts, shows in no
// log line and no answer, with debug on or off: the request's echo in the engine's submit line and
// in an error answer, and the "sent" line.
TEST_F(EdgeInput, EveryFormOfPinAndTokenIsMasked) {
    const std::string pin = "739146", token = "U2VjcmV0VG9rZW4x";
    const std::vector<std::string> forms = {
        R"("pin":")" + pin + "\"",          R"("pin" ")" + pin + "\"",       R"("pin",")" + pin + "\"",
        R"("x":["pin",")" + pin + "\"]",    R"("x":"pin",")" + pin + "\":0", R"("pin":)" + pin,
        R"("pin":{"a":")" + pin + "\"}",    R"("pin":[")" + pin + "\"]",     R"("pinToken" ")" + token + "\"",
        R"(["pinToken",")" + token + "\"]", R"("pin":")" + pin + R"(\"x")",
    };
    for (const std::string debug : {R"("debug":"true",)", R"("debug":true,)", ""}) {
        for (const std::string& form : forms) {
            // No "reader": the answer echoes the request; a cut-off text: it does not tokenize.
            const std::string complete = "{" + debug + R"("cmd":"VERIFY_PIN",)" + form + "}";
            for (const std::string& json : {complete, complete.substr(0, complete.size() - 1)}) {
                SCOPED_TRACE(json);
                const HostRun run = hosttest::run_host(hosttest::frame(json), options());
                const std::string text = run.answer().value_or("");
                EXPECT_FALSE(text.empty());
                for (const std::string& secret : {pin, token}) {
                    EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
                    EXPECT_EQ(text.find(secret), std::string::npos) << text;
                }
                if (!debug.empty() && json == complete) {
                    EXPECT_NE(run.err.find("sent ["), std::string::npos);
                }
            }
        }
    }
    // A text the reader gives up on before the secret: nothing past that point is shown.
    for (const std::string& broken : {R"({"cmd":"VERIFY_PIN","reader":"C:\Users","pin":")" + pin + "\"}",
                                      R"({"cmd":"VERIFY_PIN","x":[1},"pin":")" + pin + "\"}",
                                      R"({"cmd":"COMPUTE_SIGNATURE","hash":"\x","pinToken":")" + token + "\"}"}) {
        SCOPED_TRACE(broken);
        const HostRun run = hosttest::run_host(hosttest::frame(broken), options());
        const std::string text = run.answer().value_or("");
        EXPECT_EQ(text.rfind("{\"error\": { \"code\":99,\"id\":99,\"message\":\"Invalid JSON message [", 0), 0u)
            << text;
        for (const std::string& secret : {pin, token}) {
            EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
        }
    }
}

// A text that is not JSON: however the lenient reader splits it, nothing from the first name that
// could be the PIN on shows; a name is compared with its escapes decoded.
TEST_F(EdgeInput, TheMaskFollowsJsonNotTheLenientReader) {
    const std::string pin = "739146";
    const std::vector<std::string> texts = {
        R"({"cmd":"NOPE","note":"cut here,"pin":")" + pin + "\"}",  // a string swallows the quote
        R"({"cmd":"NOPE",pin":")" + pin + "\"}",                    // a missing quote
        R"({"cmd":"NOPE",pin:")" + pin + "\"}",                     // no quotes
        R"({"cmd":"NOPE","p\u0069n":")" + pin + "\"}",              // an escaped name
    };
    for (const std::string& complete : texts) {
        for (const std::string& text : {complete, complete.substr(0, complete.size() - 1)}) {
            SCOPED_TRACE(text);
            const HostRun run = hosttest::run_host(hosttest::frame(text), options());
            const std::string answer = run.answer().value_or("");
            EXPECT_NE(answer.find("[{ cmd : NOPE ,"), std::string::npos) << answer;  // the request is quoted
            EXPECT_EQ(answer.find(pin), std::string::npos) << answer;
            EXPECT_EQ(run.err.find(pin), std::string::npos) << run.err;
        }
    }
}

// A page may send a megabyte in a member no command reads: the request's log line shows its start
// and counts the rest.
TEST_F(EdgeInput, TheRequestLineShowsABoundedPrefix) {
    const std::string text = R"({"cmd":"GET_INFO","debug":")" + std::string(1000000, 'x') + "\"}";
    const HostRun run = hosttest::run_host(hosttest::frame(text), options());
    EXPECT_EQ(run.answer(), INFO);
    EXPECT_LT(run.err.size(), 4096u);
    EXPECT_NE(run.err.find("for request [{\"cmd\":\"GET_INFO\",\"debug\":\"xxx"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("xxx... (" + std::to_string(text.size() - 1024) + " more bytes)]"), std::string::npos)
        << run.err.substr(0, 2000);
}

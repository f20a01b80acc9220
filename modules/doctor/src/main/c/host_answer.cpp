// The GET_INFO exchange's bytes, the same on every system.
#include "doctor.h"
#include "i18n.h"
#include "json_value.h"

namespace Doctor {

std::string GetInfoFrame() {
    const std::string text = "{\"cmd\":\"GET_INFO\"}";
    const uint32_t n = static_cast<uint32_t>(text.size());
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)} +
           text;
}

HostAnswer ReadHostAnswer(const std::string& output, long exitCode) {
    HostAnswer answer;
    const std::string code = Utils::i18n_format(_("exit code {1}"), {std::to_string(exitCode)});
    uint32_t length = 0;
    for (size_t i = 0; i < 4 && output.size() >= 4; ++i)
        length |= static_cast<uint32_t>(static_cast<unsigned char>(output[i])) << (8 * i);
    if (output.size() < 4) {
        answer.error = Utils::i18n_format(_("no answer ({1})"), {code});
        return answer;
    }
    if (output.size() - 4 < length) {
        answer.error = Utils::i18n_format(_("its answer is cut off ({1})"), {code});
        return answer;
    }
    const std::string text = output.substr(4, length);
    JsonValue value;
    std::string fault;
    if (!json_value_parse(text, value, fault)) {
        answer.error = Utils::i18n_format(_("its answer is not JSON ({1})"), {fault});
        return answer;
    }
    const JsonValue* version = value.member("version");
    const JsonValue* binVersion = value.member("binVersion");
    if (!version || version->kind != JsonValue::Kind::String) {
        answer.error = Utils::i18n_format(_("its answer has no version: {1}"), {text.substr(0, 200)});
        return answer;
    }
    if (exitCode != 0) {
        answer.error = Utils::i18n_format(_("it answered, then ended with {1}"), {code});
        return answer;
    }
    answer.answered = true;
    answer.version = version->text;
    if (binVersion && binVersion->kind == JsonValue::Kind::String) answer.binVersion = binVersion->text;
    return answer;
}

}  // namespace Doctor

#include "user_input_impl.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

#include "dialog_texts.h"
#include "log.h"
#include "pinentry_dialog.h"

UserInputImpl::UserInputImpl() {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throw std::system_error(errno, std::generic_category(), "UserInputImpl::UserInputImpl: eventfd");
}

UserInputImpl::~UserInputImpl() {
    cancel();
    close(wakeFd);
}

Utils::Secret UserInputImpl::ask(const PromptTexts& texts) {
    if (is_cancelled()) return {};
    PinentryRequest request;
    request.program = user_input_find_pinentry();
    if (request.program.empty()) {
        LOG_API("PIN dialog unavailable: no pinentry program on the PATH");
        return {};
    }
    DialogTexts shown = dialog_texts(texts);
    request.title = std::move(shown.title);
    request.prompt = std::move(shown.description);
    request.fieldLabel = std::move(shown.fieldLabel);
    request.okLabel = std::move(shown.okLabel);
    request.cancelLabel = std::move(shown.cancelLabel);
    request.wakeFd = wakeFd;

    std::lock_guard<std::mutex> oneDialog(dialogMutex);
    if (is_cancelled()) return {};  // cancelled while an earlier dialog was open
    request.timeout = timeout_seconds();
    return pinentry_dialog_run(request);
}

void UserInputImpl::cancel() {
    if (!mark_cancelled()) return;
    const uint64_t one = 1;
    // Cannot fail short of a closed descriptor: the counter is far from its limit.
    [[maybe_unused]] const ssize_t written = write(wakeFd, &one, sizeof one);
}

std::string user_input_find_pinentry() {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/bin:/usr/bin";
    std::size_t from = 0;
    while (from <= directories.size()) {
        std::size_t to = directories.find(':', from);
        if (to == std::string::npos) to = directories.size();
        const std::string directory = directories.substr(from, to - from);
        from = to + 1;
        // Only absolute entries: an empty or relative one (".", "bin") names the working directory.
        if (directory.empty() || directory[0] != '/') continue;
        const std::string candidate = directory + "/pinentry";
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

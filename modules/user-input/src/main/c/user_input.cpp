// The service's factory, alike on every platform: the platform's UserInputImpl, or none.
#ifdef _WIN32
#include "user_input_win.h"
#else
#include "user_input_impl.h"
#endif

#include <exception>

#include "log.h"

std::shared_ptr<user_input> create_user_input() {
    try {
        return std::make_shared<UserInputImpl>();
    } catch (const std::exception& e) {
        LOG_API("%s", e.what());
        return nullptr;
    }
}

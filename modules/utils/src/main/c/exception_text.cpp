#include "exception_text.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

namespace Utils {

namespace {

std::string demangled_name(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string text = (status == 0 && name) ? name : type.name();
    std::free(name);
    return text;
}

}  // namespace

std::string exception_text(const std::exception& e, EmptyWhat mode) {
    const char* what = e.what();
    if (what && (*what || mode == EmptyWhat::Keep)) return what;
    if (mode == EmptyWhat::DemangledTypeName) return demangled_name(typeid(e));
    return typeid(e).name();
}

std::string current_exception_text(EmptyWhat mode) {
    if (!std::current_exception()) return "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        return exception_text(e, mode);
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace Utils

// An exception's text for a log line or an answer: what() of a standard exception, with a choice of
// what stands in for a what() that says nothing.
#pragma once

#include <exception>
#include <string>

namespace Utils {

enum class EmptyWhat {
    Keep,               // what() as it is, even when empty; only a null what() gives the type's raw name
    TypeName,           // an empty or null what() gives the type's raw name (typeid(e).name())
    DemangledTypeName,  // an empty or null what() gives the type's name as written in the source
};

std::string exception_text(const std::exception& e, EmptyWhat mode);

// The text of the exception being handled (call it inside a catch block): exception_text for a standard
// exception, "unknown exception" for anything else or when none is being handled.
std::string current_exception_text(EmptyWhat mode);

}  // namespace Utils

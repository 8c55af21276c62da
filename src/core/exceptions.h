// Exception classes shared by every subsystem. Errors raised anywhere in the
// server are C++ exceptions carrying a message; nothing aborts the process.
#pragma once

#include <stdexcept>
#include <string>

// Base of every exception the server raises itself, so that one handler
// catches them all; ClassName names the concrete type. The message is code
// page 1251 text.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& msg) : std::runtime_error(msg) {}
    std::string Message() const { return what(); }
    virtual const char* ClassName() const { return "Exception"; }
};

#define VT_DECLARE_EXCEPTION(Name, Base)                                   \
    class Name : public Base {                                             \
    public:                                                                \
        explicit Name(const std::string& msg) : Base(msg) {}               \
        const char* ClassName() const override { return #Name; }           \
    }

VT_DECLARE_EXCEPTION(EAssertionFailed, Exception);
VT_DECLARE_EXCEPTION(EConvertError, Exception);
VT_DECLARE_EXCEPTION(ERangeError, Exception);
VT_DECLARE_EXCEPTION(EInOutError, Exception);
VT_DECLARE_EXCEPTION(EVariantError, Exception);
VT_DECLARE_EXCEPTION(EMathError, Exception);
VT_DECLARE_EXCEPTION(EOverflow, EMathError);
VT_DECLARE_EXCEPTION(EStreamError, Exception);
VT_DECLARE_EXCEPTION(EReadError, EStreamError);
VT_DECLARE_EXCEPTION(EDatabaseError, Exception);
VT_DECLARE_EXCEPTION(EListError, Exception);

// Raises EAssertionFailed with "<msg> (<file>, line <n>)", the form in which
// assertion messages name their source unit and line.
[[noreturn]] void RaiseAssertion(const std::string& msg, const char* file, int line);

// Checks a condition the code relies on; on failure raises EAssertionFailed
// carrying the message, the source file and the line.
#define VT_ASSERT(cond, msg)                                               \
    do {                                                                   \
        if (!(cond)) ::RaiseAssertion((msg), __FILE__, __LINE__);          \
    } while (0)

// The same, naming the unit the routine belongs to ("DMBaseUnit.pas") in
// place of the C++ file, as the system's messages have always done.
#define VT_ASSERT_IN(unit, cond, msg)                                      \
    do {                                                                   \
        if (!(cond)) ::RaiseAssertion((msg), (unit), __LINE__);            \
    } while (0)

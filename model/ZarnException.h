#pragma once

#include <cstdint>
#include <string>

// The one error type of Orvek's libraries. Thrown by value, caught by constant reference.
// OS-error form: an errno value and no text. Description form: a code and libpcap's text.
class CZarnException {
public:
    explicit CZarnException(int32_t nCode);
    CZarnException(int32_t nCode, const char* szDescription);
    CZarnException(const CZarnException& other) = default;
    CZarnException& operator=(const CZarnException& other) = default;
    virtual ~CZarnException() = default;

    // Never null; empty when the exception carries no description.
    virtual const char* GetDescription() const;
    virtual int32_t GetCode() const;
    virtual bool HasDescription() const;

private:
    int32_t m_nCode;
    std::string m_strDescription;
    bool m_bHasDescription;
};

// The text a failure shows: its description, else the OS error's text, else "unknown error".
std::string DescribeError(const CZarnException& e);

// Inside a catch block: the exception being handled, whatever its type, as the library's error
// type. Exhausted memory becomes the OS error ENOMEM, another standard exception a description of
// its what(), anything else code 0 without a text.
CZarnException CurrentError();

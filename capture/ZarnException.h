#pragma once

#include <cstdint>
#include <string>

// The one error type of the capture library. Thrown by value, caught by constant reference.
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

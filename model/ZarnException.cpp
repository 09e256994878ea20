#include "ZarnException.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

CZarnException::CZarnException(int32_t nCode) : m_nCode(nCode), m_bHasDescription(false) {}

CZarnException::CZarnException(int32_t nCode, const char* szDescription)
    : m_nCode(nCode), m_strDescription(szDescription != nullptr ? szDescription : ""),
      m_bHasDescription(true) {}

const char* CZarnException::GetDescription() const {
    return m_strDescription.c_str();
}

int32_t CZarnException::GetCode() const {
    return m_nCode;
}

bool CZarnException::HasDescription() const {
    return m_bHasDescription;
}

std::string DescribeError(const CZarnException& e) {
    if (e.HasDescription()) {
        return e.GetDescription();
    }
    return e.GetCode() != 0 ? std::strerror(e.GetCode()) : "unknown error";
}

CZarnException CurrentError() {
    try {
        throw;
    } catch (const CZarnException& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return CZarnException(ENOMEM);
    } catch (const std::exception& e) {
        return CZarnException(0, e.what());
    } catch (...) {
        return CZarnException(0);
    }
}

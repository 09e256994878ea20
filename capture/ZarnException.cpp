#include "ZarnException.h"

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

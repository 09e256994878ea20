#include "MeterViewAdapter.h"

#include "MessageBoxQueue.h"
#include "QtPost.h"
#include "SettingsKeeper.h"

#include <utility>

CMeterViewAdapter::CMeterViewAdapter(QObject* pContext, CSettingsKeeper& settings,
                                     CMessageBoxQueue& messages, Hooks hooks,
                                     const CaptureSource& source)
    : m_pContext(pContext), m_settings(settings), m_messages(messages), m_hooks(std::move(hooks)),
      m_meter(static_cast<IMeterView&>(*this), m_hooks.fnCaptureEnded, {}, source) {}

void CMeterViewAdapter::ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) {
    m_hooks.fnShowCounters(nRecvBytes, nSentBytes);
}

void CMeterViewAdapter::ShowMessage(const std::string& strText, const char* szCaption) {
    m_messages.ShowMessage(strText, szCaption);
}

void CMeterViewAdapter::Post(std::function<void()> fn, int nDelayMs) {
    PostToObject(m_pContext, std::move(fn), nDelayMs);
}

MeterSnapshot CMeterViewAdapter::GetSnapshot() const {
    return m_meter.GetSnapshot();
}

std::set<std::string> CMeterViewAdapter::GetExcludedDevices() const {
    return m_meter.GetExcludedDevices();
}

void CMeterViewAdapter::SetExcludedDevices(const std::set<std::string>& excluded) {
    m_meter.SetExcludedDevices(excluded);
    // While capturing the change applies at once; otherwise the states show it.
    m_hooks.fnExcludedChanged();
    m_settings.SaveExcluded(excluded);
}

std::map<std::string, std::string> CMeterViewAdapter::GetTunnels() const {
    return m_settings.GetTunnels();
}

void CMeterViewAdapter::SetTunnels(const std::map<std::string, std::string>& tunnels) {
    m_settings.SetTunnels(m_meter, tunnels);
}

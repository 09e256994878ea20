#include "HelperSession.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

CHelperSession::CHelperSession(int hSocket, int hSignals, IFlowOwners* pFlowOwners)
    : m_hSignals(hSignals), m_session(hSocket, m_loop, m_meter,
                                      {"orvek-capture", 0,
                                       [this](int nStatus) {
                                           m_nStatus = nStatus;
                                           m_loop.Quit();
                                       }}),
      m_meter(m_session, m_manager, m_manager) {
    m_meter.SetFlowOwners(pFlowOwners);
}

int CHelperSession::Run() {
    m_session.Begin();
    m_loop.Watch(m_hSignals, [this] {
        signalfd_siginfo info{};
        bool bStop = false;
        while (read(m_hSignals, &info, sizeof info) > 0) {
            if (info.ssi_signo == SIGUSR1) {
                m_manager.CloseMonitorNewsForTest();
            } else {
                bStop = true;
            }
        }
        if (bStop) {
            m_session.End(kEnded);
        }
    });
    m_loop.Run();
    m_meter.StopCapture();
    return m_nStatus;
}

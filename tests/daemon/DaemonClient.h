#pragma once

// A protocol client of the system service for the tests: connects to its socket, sends messages
// and keeps what it was told.

#include "FrameSocket.h"
#include "Protocol.h"

#include <functional>
#include <string>
#include <vector>

namespace orvektest {

class CDaemonClient {
public:
    // Connects to the socket at strPath; fails the test when it cannot.
    explicit CDaemonClient(const std::string& strPath);
    void Send(const std::vector<ClientMessage>& messages);
    // Hello and Start, with a filter of its own when strFilter is not empty.
    void Start(const std::string& strFilter = {});
    // Reads what came until pred holds (true) or a generous time-out (false); pred sees this.
    bool WaitFor(const std::function<bool(const CDaemonClient&)>& pred);
    // Reads until the service closes the connection; false on the time-out.
    bool WaitForClose();

    int Get() const { return m_socket.Get(); }
    const MeterSnapshot& GetSnapshot() const { return m_snapshot; }
    bool IsClosed() const { return m_bClosed; }
    // Every message but snapshots and device states, in order.
    const std::vector<HelperMessage>& GetAnswers() const { return m_answers; }
    // The text of the last Error, "" when none came.
    std::string GetError() const;

private:
    // Reads what there is, waiting at most nWaitMs for the first bytes.
    void Pump(int nWaitMs);

    CFrameSocket m_socket;
    MeterSnapshot m_snapshot;
    std::vector<HelperMessage> m_answers;
    bool m_bClosed = false;
};

} // namespace orvektest

#pragma once

#include <map>
#include <string>

struct LinkRecord;
struct pcap_if;

// What a device looks like for a retry decision: its state flags, addresses, link index, master
// and carrier changes, without the promiscuous flags that opening and closing captures toggle.
std::string DeviceSignature(const pcap_if* pDevice, const LinkRecord* pLink);

// Devices that could not be opened, each with what it looked like then and why it failed. A
// device is tried again only once it looks different (its link or addresses changed), or once the
// memo forgets it. Not locked: its owner serialises the calls.
class CFailureMemo {
public:
    // Every device gets a new chance (a new Capture).
    void Clear() { m_failures.clear(); }
    // This device gets a new chance.
    void Forget(const std::string& strDevice) { m_failures.erase(strDevice); }
    // The error a device failed with when it looked as it does now; null when it has not failed
    // or has changed since (the old record is then forgotten).
    const std::string* FindUnchanged(const std::string& strDevice, const std::string& strSignature);
    void Record(const std::string& strDevice, std::string strSignature, std::string strError);

private:
    struct Failure {
        std::string strSignature;
        std::string strError;
    };
    std::map<std::string, Failure> m_failures;
};

#include "TimedSampler.h"

CTimedSampler::CTimedSampler(const IDetailsSource& source, QObject* pParent)
    : QObject(pParent), m_source(source) {
    m_timerSample.setInterval(kPeriodMs);
    // User-interface thread, once a period: reads the source without waiting for capture.
    connect(&m_timerSample, &QTimer::timeout, this, [this] { Sample(); });
}

void CTimedSampler::Start() {
    Sample();
    m_timerSample.start();
}

void CTimedSampler::Sample(std::chrono::steady_clock::time_point tNow) {
    CTrafficSampler::Sample(m_source.GetSnapshot(), tNow);
    emit Sampled();
}

void CTimedSampler::MarkCapture() {
    CTrafficSampler::MarkCapture(m_source.GetSnapshot());
}

#pragma once

namespace sonavert {

/// Lets one run of a check go at a time without losing what asks for it meanwhile: a request
/// that finds a run going makes that run go exactly once more when it ends, however many such
/// requests come. A check started just before news arrived may have read too early; the extra
/// run reads again instead of leaving the news to the next poll.
class CoalescingGate {
public:
    /// True when the caller is to run the check; otherwise the request is left to the run
    /// that is going.
    bool enter() {
        if (m_isRunning) {
            m_hasRequest = true;
            return false;
        }
        m_isRunning = true;
        return true;
    }

    /// Called by the running caller after each run: true when it must run once more, false
    /// when the gate is open again.
    bool runAgain() {
        m_isRunning = m_hasRequest;
        m_hasRequest = false;
        return m_isRunning;
    }

    bool isRunning() const { return m_isRunning; }

private:
    bool m_isRunning = false;
    bool m_hasRequest = false;
};

} // namespace sonavert

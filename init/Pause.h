#pragma once
// The waits of the initialization run behind one small seam.
//
// The run's rhythm is part of its behaviour: 50 ms at the start and after every progress step,
// 500 ms between the two connect rounds, 300 ms after a success, 1000 ms before the dialog
// shows, and the 1500 ms / 500 ms phases of the blinking status texts. Tests install a double
// that records every wait without sleeping and can act "during" it (press a key, take the token
// out, insert the next one).

enum class PauseKind {
    // A wait inside an attempt (and before the dialog shows): the user's keys and clicks are not
    // served meanwhile; they wait in the queue until the attempt has ended.
    Step,
    // One phase of a blinking text. It is not a wait on the stack: the run's timer ends it, and
    // the dialog serves keys and repaints meanwhile.
    Blink,
};

class IInitPause {
public:
    virtual ~IInitPause() = default;
    // Waits on the spot (PauseKind::Step).
    virtual void Pause(int milliseconds, PauseKind kind) = 0;
    // A blink phase of `milliseconds` begins; answers how long the run's timer is to wait before
    // the phase ends (the real waits answer `milliseconds`).
    virtual int BeginPhase(int milliseconds) = 0;
    // How often the reader is looked at within the phases: 50 ms for the real waits, so that
    // with the 50 ms before the first command a token put in is served within about 150 ms of
    // pcscd noticing it (one look costs about 0.1 ms of PC/SC time).
    virtual int PollInterval() { return 50; }
};

// The waits in force: real ones unless a test installed others.
IInitPause& InitPause();
// Installs `pause`; nullptr restores the real waits.
void SetInitPause(IInitPause* pause);

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
    // One phase of a blinking text. The window keeps repainting, but keys are still served only
    // when the phase has ended (the caller processes the pending events then).
    Blink,
};

class IInitPause {
public:
    virtual ~IInitPause() = default;
    virtual void Pause(int milliseconds, PauseKind kind) = 0;
};

// The waits in force: real ones unless a test installed others.
IInitPause& InitPause();
// Installs `pause`; nullptr restores the real waits.
void SetInitPause(IInitPause* pause);

#pragma once
// The one pattern of Orvane's platform edges (PC/SC entry points, random source, pauses, the log's
// clock and folders, message boxes and file dialogs, the folder opener): an interface, the real
// implementation that serves the programs, and a replacement a test installs for a while.
//
//   constexpr auto PauseSeam = SeamOf<IInitPause, RealPause>;  // one per edge
//   PauseSeam().Get().Pause(50, PauseKind::Step);  // the replacement if one is installed
//   PauseSeam().Set(&fake); ... PauseSeam().Set(nullptr);
//
// Get and Set may be called from any thread (tests drive PC/SC from several).

#include <atomic>

template <typename Interface> class Seam {
public:
    explicit Seam(Interface& real) : real_(real) {}
    Seam(const Seam&) = delete;
    Seam& operator=(const Seam&) = delete;

    // The replacement while one is installed, else the real implementation.
    Interface& Get() const {
        Interface* replacement = replacement_.load();
        return replacement != nullptr ? *replacement : real_;
    }
    // Installs `replacement`; nullptr puts the real implementation back.
    void Set(Interface* replacement) { replacement_.store(replacement); }
    Interface& Real() const { return real_; }

private:
    Interface& real_;
    std::atomic<Interface*> replacement_{nullptr};
};

// The seam of `Interface` whose real implementation is a `Real`, both made on first use.
template <typename Interface, typename Real> Seam<Interface>& SeamOf() {
    static Real real;
    static Seam<Interface> seam(real);
    return seam;
}

#include "InitStation.h"

#include "ReaderCommands.h"
#include "card/TokenSession.h"
#include "engine/RunTexts.h"
#include "engine/Station.h"
#include "engine/StationTexts.h"

namespace {

// The station's events as the command line tells them: the one-reader run's events, each with
// its reader named (in text mode at the start of the line).
class StationReport {
public:
    explicit StationReport(Output& output) : output_(output) {}

    void Tell(const StationEvent& e) {
        switch (e.kind) {
        case StationEventKind::State:
            if (e.state == RunState::Attempt) {
                Report("attempt", e.reader,
                       std::string(run_text::kAttempt1) + " " + run_text::kAttempt2);
            } else if (e.state == RunState::Waiting) {
                Report("waiting", e.reader, attempted_ ? run_text::kNext : run_text::kFirst);
            }
            break;
        case StationEventKind::ServiceAway:
            if (e.away)
                output_.Notice(Named(e.reader, run_text::kServiceAway));
            break;
        case StationEventKind::AttemptEnded:
            Result(e);
            break;
        case StationEventKind::LogLineLost:
            ++linesLost_;
            Report("log-line-lost", e.reader, e.text, false);
            break;
        case StationEventKind::Busy:
            ++busy_;
            Report("busy", e.reader, e.text, false);
            break;
        case StationEventKind::Unplugged:
            Report("unplugged", e.reader, e.text, false);
            break;
        case StationEventKind::TooManyReaders:
            output_.Notice(e.text);
            break;
        case StationEventKind::Attached:
            ++attached_;
            break;
        case StationEventKind::Progress:
        case StationEventKind::Finished:
            break;
        }
    }

    // The last line: the counts over all readers.
    int Done(const Station& station, bool interrupted) {
        const int initialized = station.Initialized();
        const int failed = station.FailedAttempts();
        const int code = interrupted                   ? kExitInterrupted
                         : attached_ == 0 && busy_ > 0 ? kExitReaderBusy
                         : linesLost_ > 0              ? kExitLogLineLost
                         : failed == 0                 ? kExitSuccess
                                                       : kExitTokenFailure;
        const OutputEvent done =
            RunDoneEvent(initialized, failed, code, interrupted, linesLost_, interrupted);
        output_.Report(done);
        return code;
    }

private:
    static std::string Named(const std::string& reader, const std::string& text) {
        return reader + ": " + text;
    }

    void Result(const StationEvent& e) {
        attempted_ = true;
        OutputEvent event = ResultEvent(e.reader, e.outcome);
        event.text = Named(e.reader, event.text);
        output_.Report(event);
    }

    void Report(const char* name, const std::string& reader, const std::string& message,
                bool ok = true) {
        OutputEvent event;
        event.event = name;
        event.reader = reader;
        event.message = message;
        event.text = Named(reader, message);
        if (!ok)
            event.ok = false; // text mode: on standard error
        output_.Report(event);
    }

    Output& output_;
    bool attempted_ = false;
    int attached_ = 0;
    int busy_ = 0;
    int linesLost_ = 0;
};

} // namespace

OutputEvent ResultEvent(const std::string& reader, const InitOutcome& outcome) {
    OutputEvent event;
    event.event = "result";
    event.reader = reader;
    event.card = outcome.cardId;
    event.ok = outcome.ok;
    event.message = outcome.ok ? std::string(run_text::kDone) : outcome.message;
    event.text =
        (outcome.cardId.empty() ? std::string() : "#" + outcome.cardId + ": ") + event.message;
    if (!outcome.ok)
        event.Failed(InitStepName(outcome.step), outcome.statusWord, outcome.result);
    return event;
}

OutputEvent RunDoneEvent(int initialized, int failed, int code, bool interrupted, int linesLost,
                         bool stopRequested) {
    OutputEvent done;
    done.event = "done";
    done.ok = code == kExitSuccess;
    done.message = run_text::kRunEnded;
    done.text = done.message + ": смарт-карт инициализировано " + std::to_string(initialized) +
                ", неудачных попыток " + std::to_string(failed);
    if (interrupted)
        done.text += ", прервано до заданного числа смарт-карт";
    done.extra["initialized"] = initialized;
    done.extra["failed"] = failed;
    if (linesLost > 0)
        done.extra["log_lines_lost"] = linesLost;
    if (stopRequested)
        done.extra["interrupted"] = true;
    done.extra["exit_code"] = code;
    return done;
}

int RunInitStation(const InitStationOptions& options, const IInitSettings& settings,
                   Console& console, Output& output) {
    {
        // The readers named must be there, as for one reader; the service must answer.
        TokenSession lister;
        for (const std::string& reader : options.readers)
            if (const int code = CheckReader(lister, reader, output); code != kExitSuccess)
                return code;
        if (options.readers.empty() && lister.Context == 0)
            return CheckReader(lister, station_text::kAllReaders, output);
    }
    StationOptions stationOptions;
    stationOptions.readers = options.readers;
    stationOptions.count = options.count;
    Station station(settings, stationOptions);
    StationReport report(output);
    station.Start();
    bool escSent = false;
    while (!station.Finished()) {
        station.Events().WaitFor(std::chrono::milliseconds(100));
        for (const StationEvent& event : station.Events().Drain())
            report.Tell(event);
        if (console.StopRequested() && !escSent) {
            escSent = true;
            station.Esc(); // the attempts under way finish first
        }
    }
    for (const StationEvent& event : station.Events().Drain())
        report.Tell(event);
    const bool interrupted = escSent && options.count > 0 && station.Initialized() < options.count;
    return report.Done(station, interrupted);
}

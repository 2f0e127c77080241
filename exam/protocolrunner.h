// Runs a protocol against the live capture: each step at its planned moment,
// light and sound trains as single stimulation starts, marks as events, waits
// until the operator goes on. The runner only emits requests; the front-end
// (the window, neurask-record) passes them to the device and puts marks into
// the capture. Lives on the thread of its caller; its timers need an event loop.
//
// Steps are timed from the protocol's start (from the end of the last wait), not
// from the previous step, so delays of the event loop do not add up.
#pragma once

#include "exam/protocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace exam
{

class ProtocolRunner : public QObject
{
    Q_OBJECT
public:
    explicit ProtocolRunner(QObject* parent = nullptr);

    // Starts at the first step; false (and nothing happens) when a protocol
    // already runs or this one has no step.
    bool start(const Protocol& protocol);
    // Ends the protocol at once. A light or sound train under way is stopped
    // and a cut-short light train noted ("Фотостимуляция прервана").
    void stop();
    // The operator goes on after a wait step.
    void proceed();

    bool isRunning() const { return stepIndex >= 0; }
    bool isWaiting() const { return waitingForOperator; }
    const Protocol& protocol() const { return current; }
    int step() const { return stepIndex; }
    // Seconds since the protocol started, and the planned total.
    double elapsedSeconds() const;

    // A light train of the protocol: the text and length of its annotation,
    // for the front-end to place where the headset confirms the train.
    struct Train {
        bool active = false;
        QString text;
        double seconds = 0;
        double requestedAt = 0; // on the runner's own clock
    };
    // The train under way (active while its step lasts).
    Train lightTrainUnderWay() const { return light; }
    // The oldest train sent and not yet confirmed, for the headset's
    // confirmation that has just come: trains are confirmed in the order they
    // were sent, each once. A train unconfirmed after `confirmSeconds` is
    // forgotten (the headset refused or never answered it).
    Train takeLightTrain();
    static constexpr double confirmSeconds = 3.0;

signals:
    void lightStart(structLightParam param);
    void lightStop();
    void soundStart(structSoundParam param);
    void soundStop();
    void mark(const QString& text);
    // A wait step shows its message; an empty one when the wait is over.
    void waiting(const QString& message);
    // About four times a second and at each step.
    void progress(int step, int steps, double elapsedSeconds, double plannedSeconds);
    void finished(bool aborted);

private:
    void runFrom(int index);
    void endTrains();
    void emitProgress();

    Protocol current;
    int stepIndex = -1;
    bool waitingForOperator = false;
    bool soundUnderWay = false;
    Train light;
    QVector<Train> unconfirmed;
    QElapsedTimer trainClock;
    // Counts starts and stops: a loop that finds it changed after one of its
    // signals was stopped (and maybe started again) from the slot it reached.
    quint64 runs = 0;
    QElapsedTimer clock;
    double baseSeconds = 0; // the clock's reading the schedule counts from
    double scheduledAt = 0; // where in the schedule the current step began
    QTimer stepTimer;
    QTimer progressTimer;
};

} // namespace exam

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

    // The light train started last and not yet over: the text and length of its
    // annotation, for the front-end to place where the headset confirms it.
    struct Train {
        bool active = false;
        QString text;
        double seconds = 0;
    };
    Train lightTrainUnderWay() const { return light; }
    // The same, once: a second confirmation of the same train gets none.
    Train takeLightTrain();

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
    bool lightTaken = false;
    QElapsedTimer clock;
    double baseSeconds = 0;   // the clock's reading the schedule counts from
    double scheduledAt = 0;   // where in the schedule the current step began
    double elapsedBefore = 0; // seconds spent before the last wait ended
    QTimer stepTimer;
    QTimer progressTimer;
};

} // namespace exam

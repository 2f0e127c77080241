#include "exam/protocolrunner.h"

#include <algorithm>
#include <cmath>

namespace exam
{

ProtocolRunner::ProtocolRunner(QObject* parent) : QObject(parent)
{
    stepTimer.setSingleShot(true);
    stepTimer.setTimerType(Qt::PreciseTimer);
    progressTimer.setInterval(250);
    connect(&stepTimer, &QTimer::timeout, this, [this] {
        light.active = false;
        soundUnderWay = false;
        runFrom(stepIndex + 1);
    });
    connect(&progressTimer, &QTimer::timeout, this, &ProtocolRunner::emitProgress);
    trainClock.start();
}

bool ProtocolRunner::start(const Protocol& protocol)
{
    if (isRunning() || protocol.steps.isEmpty())
        return false;
    current = protocol;
    ++runs;
    clock.start();
    baseSeconds = 0;
    scheduledAt = 0;
    progressTimer.start();
    runFrom(0);
    return true;
}

double ProtocolRunner::elapsedSeconds() const
{
    return isRunning() ? double(clock.nsecsElapsed()) / 1e9 : 0.0;
}

void ProtocolRunner::runFrom(int index)
{
    const quint64 run = runs;
    for (; index < current.steps.size(); ++index) {
        stepIndex = index;
        const ProtocolStep step = current.steps[index];
        emitProgress();
        if (runs != run)
            return; // stopped (or started afresh) by whoever watches the progress
        double seconds = 0;
        switch (step.kind) {
        case ProtocolStep::Kind::Mark:
            emit mark(step.text);
            if (runs != run)
                return;
            continue;
        case ProtocolStep::Kind::Wait:
            waitingForOperator = true;
            emit waiting(step.text);
            return;
        case ProtocolStep::Kind::Rest:
            seconds = step.seconds;
            break;
        case ProtocolStep::Kind::Light: {
            const LightTrain train = lightTrain(step.frequency, step.seconds, step.level);
            light.active = true;
            light.text = lightTrainText(step.frequency, train);
            light.seconds = train.seconds;
            light.requestedAt = double(trainClock.nsecsElapsed()) / 1e9;
            unconfirmed.append(light);
            seconds = train.seconds;
            emit lightStart(train.param);
            break;
        }
        case ProtocolStep::Kind::Sound: {
            const SoundTrain train =
                soundTrain(step.frequency, step.seconds, step.level, step.tone);
            soundUnderWay = true;
            seconds = train.seconds;
            emit soundStart(train.param);
            break;
        }
        }
        if (runs != run)
            return;
        scheduledAt += seconds;
        const double now = double(clock.nsecsElapsed()) / 1e9;
        const double wait = baseSeconds + scheduledAt - now;
        stepTimer.start(int(std::ceil(std::max(0.0, wait) * 1000.0)));
        return;
    }
    stepIndex = -1;
    ++runs;
    progressTimer.stop();
    emit finished(false);
}

void ProtocolRunner::proceed()
{
    if (!isRunning() || !waitingForOperator)
        return;
    waitingForOperator = false;
    baseSeconds = double(clock.nsecsElapsed()) / 1e9;
    scheduledAt = 0;
    const int next = stepIndex + 1;
    emit waiting(QString());
    if (isRunning())
        runFrom(next);
}

void ProtocolRunner::stop()
{
    if (!isRunning())
        return;
    stepTimer.stop();
    progressTimer.stop();
    const bool wasWaiting = waitingForOperator;
    waitingForOperator = false;
    stepIndex = -1;
    ++runs;
    endTrains();
    if (wasWaiting)
        emit waiting(QString());
    emit finished(true);
}

void ProtocolRunner::endTrains()
{
    if (light.active) {
        light.active = false;
        emit lightStop();
        emit mark(lightAbortedText());
    }
    if (soundUnderWay) {
        soundUnderWay = false;
        emit soundStop();
    }
}

ProtocolRunner::Train ProtocolRunner::takeLightTrain()
{
    const double now = double(trainClock.nsecsElapsed()) / 1e9;
    while (!unconfirmed.isEmpty() && now - unconfirmed.first().requestedAt > confirmSeconds)
        unconfirmed.removeFirst();
    if (unconfirmed.isEmpty())
        return Train();
    return unconfirmed.takeFirst();
}

void ProtocolRunner::emitProgress()
{
    if (isRunning())
        emit progress(stepIndex, current.steps.size(), elapsedSeconds(), current.plannedSeconds());
}

} // namespace exam

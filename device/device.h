// The device worker: owns the serial link to the headset and lives in a thread
// of its own for the program's whole life. It searches the ports, runs the
// exchange loop, decodes data frames into samples, computes spectra and sends
// the capture, stimulation and raw commands.
//
// Threading: start() runs in the worker thread and never returns until
// terminated. The public slots are called directly from the GUI thread; they do
// no I/O, they only store a request under `mutex` for the worker to take.
// Everything the worker reports goes out through (queued) signals.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <fftw3.h>
#include <mutex>

#include "analysis/fftwindow.h"
#include "device/frames.h"
#include "device/types.h"

class QSerialPort;

class Device : public QObject
{
    Q_OBJECT
public:
    // The constructor also calls registerCommandMetaTypes() (commands.h) for
    // the records the window passes in queued calls, and setFFTCount(256)
    // before the worker starts; the destructor calls releaseFFT().
    explicit Device(QObject* parent = nullptr);
    ~Device() override;

    // Ends the worker: the exchange sends a capture stop and returns, start()
    // emits finished(). Safe from any thread.
    void terminate();

signals:
    void connection(bool);
    void finished();
    void info(QString);
    void terminal(QString);
    void changeCapture(bool value);
    void updateDataTime(QVector<structSample>);
    void updateDataFFT(int channel, QVector<double> freq, QVector<double> data);
    void updateSpeed(quint32 TX, quint32 RX);
    void updateSkipSamples(quint64);
    // A capture start confirmed by the headset, whoever asked for it; emitted
    // just before changeCapture(true). `period` is the capture's sample period
    // in ticks of 125 ns: the time base of every sample that follows.
    void captureStarted(quint16 period);
    // Something that happened during the capture, placed in the sample stream:
    // `sample` samples of this capture had been emitted or batched when it
    // happened, so its onset is sample * period. Runs of lost samples, the
    // stimulation replies, commands sent, capture start and stop, a refused start.
    void captureEvent(quint64 sample, QString text);

public:
    // Samples of the capture the worker has decoded so far (copies included),
    // read from any thread: where the headset stands at this moment, give or
    // take the link's own delay.
    quint64 capturedSamples() const { return samplesSoFar.load(std::memory_order_relaxed); }

public slots:
    void start();
    void captureStart(ushort value);
    void captureStop();
    void setPort(QString port);
    void sendCommand(QString cmd);
    void setFFTCount(uint count);
    void setFFTWindow(FFTWindow value);
    void setLightStart(structLightParam param);
    void setLightStop();
    void setSoundStart(structSoundParam param);
    void setSoundStop();

private:
    // Port search and exchange (device.cpp).
    int takeTask();
    bool transmit();
    bool searchDevice();
    bool probePort(const QString& name);
    void runExchange();

    // Received frames (device_receive.cpp).
    void dispatchFrame(const QByteArray& frame);
    void deliverSample(const double* values);

    // Command frames (device_commands.cpp). The frame the exchange sends for a
    // command step (capture start/stop, light and sound start/stop, raw
    // command, terminate), built from the stored parameters under `mutex`.
    // Empty means "send nothing": a raw command too long for one frame is
    // refused here (with a terminal line), and the exchange goes on without
    // transmitting and without ending.
    QByteArray commandFrame(int task);

    // Spectrum (device_fft.cpp). All of it runs in the worker, except the two
    // slots, which (once the device is in its worker thread) only leave a
    // pending length or window under `mutex`; windowAndStore applies it before
    // it stores the next sample, so buffers, plans and counters are never
    // replaced under the worker. updateFrequencies uses samplePeriod, so set
    // that first. releaseFFT frees every buffer and plan (for the destructor).
    double windowValue(int kind, double n, double N);
    void updateFrequencies();
    void windowAndStore(const double* values);
    void advanceAndTransform();
    void applyFFTChanges();
    void resizeFFT(quint32 count);
    void releaseFFT();
    bool ownThread() const;
    std::atomic<bool> fftChangePending{false};
    quint32 fftPendingCount = 0;        // 0: no change; under `mutex`
    bool fftPendingWindowSet = false;   // under `mutex`
    int fftPendingWindow = Rectangular; // under `mutex`

    QByteArray txBuffer;
    QByteArray rxBuffer;
    QSerialPort* serialPort = nullptr;
    QString port;
    QMutex mutex;
    int task = taskNone;
    quint16 capturePeriod = 0;
    QByteArray commandBytes;
    structLightParam lightParam{};
    structSoundParam soundParam{};
    int fftWindow = Rectangular;
    quint32 fftFill = 0;
    quint32 fftCount = 0;
    fftw_plan fftPlan[channelCount] = {};
    fftw_complex* fftIn[channelCount] = {};
    fftw_complex* fftOut[channelCount] = {};
    QVector<double> spectrum;
    QVector<double> frequencies;
    QVector<structSample> batch;
    double time = 0;
    quint16 packetCounter = 0;
    quint64 skipSamples = 0;
    quint32 txBytes = 0;
    quint32 rxBytes = 0;

    // One tick of the sample period, samples per batch, and the longest a
    // sample waits in a part batch before it is handed on.
    static constexpr double tickSeconds = 1.25e-7;
    static constexpr int batchSize = 64;
    static constexpr double batchMaxSeconds = 0.1;

    // Worker-side state beyond the members above (device.cpp; the received
    // frames in device_receive.cpp).
    bool readStep();
    bool stopRequested() const;
    void pause(int milliseconds);
    double linkSeconds() const;
    void noteSent(const QByteArray& frame);
    void dataFrame(const char* bytes, int size, double now);
    bool startFromData(const char* bytes, int size, double now);
    void beginCapture(double sentAt);
    void endCapture();
    void checkReplyTimes();
    void flushCaptureData();
    void flushBatch();
    void reportSkipped();
    bool pending(double since) const;
    // What the sample stream decides (device.cpp).
    void streamSample(const double* values, quint64 index, quint64 copies);
    void streamFault(protocol::SampleStream::Fault kind, quint16 expected, quint16 received);
    void noteFault(const QString& text);
    void endFaultRun();
    class StreamOutput : public protocol::SampleStream::Listener
    {
    public:
        explicit StreamOutput(Device& device) : device(device) {}
        void sample(const double* values, uint64_t index, uint64_t copies) override
        {
            device.streamSample(values, index, copies);
        }
        void fault(protocol::SampleStream::Fault kind, uint16_t expected,
                   uint16_t received) override
        {
            device.streamFault(kind, expected, received);
        }

    private:
        Device& device;
    };

    // `port` is written by setPort in the GUI thread and read by the search.
    mutable std::mutex portMutex;
    // Set once by terminate(); unlike `task` it cannot be overwritten by a later
    // request or by the reset at the start of an exchange, and it wakes the
    // pause after a failed search.
    std::atomic<bool> terminating{false};
    std::mutex pauseMutex;
    std::condition_variable pauseWake;
    // Set by start() as it ends, after its last use of the members.
    std::atomic<bool> workerEnded{false};
    // Bytes of rxBuffer before rxHead are parsed already; the buffer is
    // compacted when new input is appended, not after every frame.
    int rxHead = 0;
    // capturePeriod as of the last confirmed capture start: the time step of
    // the samples. capturePeriod itself belongs to the request slots.
    quint16 samplePeriod = 0;
    QByteArray frameView; // the frame being dispatched, pointing into rxBuffer

    // The terminal's text of the raw command in commandBytes (under `mutex`),
    // for the capture's event list.
    QString commandText;

    // Requests of the slots not yet carried out, oldest first (under `mutex`);
    // takeTask hands them to the exchange one at a time.
    struct Request {
        int task = taskNone;
        quint16 period = 0;
        QByteArray bytes;
        QString text;
        structLightParam light{};
        structSoundParam sound{};
    };
    static constexpr int maxRequests = 1000;
    QVector<Request> requests;
    void request(Request r);
    // captureSamples as other threads may read it.
    std::atomic<quint64> samplesSoFar{0};

    // The receive path's own state (worker only). Time on the link runs from
    // the start of the exchange.
    QElapsedTimer linkClock;
    bool resyncing = false; // bytes were skipped and no frame confirmed since
    QByteArray skipped;     // the first of them, for the terminal
    int skippedCount = 0;
    protocol::SampleStream stream;
    StreamOutput streamOutput{*this};
    quint64 captureSamples = 0; // samples of this capture emitted or batched
    quint64 counterFaults = 0;  // dropped frames and samples, bad counters in this exchange
    // One terminal line per run of faults: the first fault's text, written once
    // the stream is back in step.
    QString faultRun;
    bool faultRunLoneHalf = false; // the run's line is a half cut off from its partner
    // The last first half taken, for the terminal when it is dropped.
    char firstHalfBytes[protocol::dataFrameSize] = {};
    bool firstHalfKept = false;
    // When the oldest sample of the part batch was added: the batch goes out
    // within batchMaxSeconds even at the slowest rate.
    double batchSince = 0;
    // Data frames received while a capture start awaits its reply: if the
    // reply is lost, data of the requested rate start the capture, from here.
    QByteArray startBacklog;
    QVector<double> startBacklogTimes;
    bool backlogCounted = false;
    quint16 backlogFirstCounter = 0;
    quint16 backlogLastCounter = 0;
    double backlogFirstTime = 0;

    // A capture runs only once its start, sent by this program, is confirmed.
    // The headset's "!" and "#" replies count only while such a request is
    // outstanding (sent less than a few seconds ago); everything else could be
    // line noise.
    bool capturing = false;
    double startSent = -1; // when the outstanding capture start went out; -1: none
    quint16 startPeriod = 0;
    double stopSent = -1;
    bool stopOwn = false; // the outstanding stop is the worker's own
    bool ownStopDue = false;
    double ownStopLast = -1;
    double lightSent = -1;
    QString lightText;
    double lightStopSent = -1;
    double soundSent = -1;
    QString soundText;
    double soundStopSent = -1;
};

// What the signal plot draws when display filters are on: a filtered copy of
// the capture store in the same compact form (counts, with their own min/max
// pyramid), computed once per sample as batches arrive. The raw store stays
// the one that Save, the recorder and the spectrum read; nothing here writes
// to it.
//
// A change of filter choice re-filters what is stored in a new copy, in slices
// of bounded time (step), while the plot keeps the copy it had; the new one
// takes its place once it has caught up with the capture. A store that was
// emptied or refilled (a Start, a Clear, a recording read back) starts the
// filters afresh in the same way; until a long refill is filtered the plot
// draws the raw samples.
//
// Every channel whose unit is a voltage is filtered, each with its own rate,
// into a scale of its own that no filtered value can overflow; other channels
// are copied unchanged.
//
// GUI thread only, like the store; the raw store must outlive it.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>
#include <vector>

#include "analysis/displayfilter.h"

class CaptureStore;

class FilteredCapture
{
public:
    // Beyond this many channel samples of backlog the work is left to step().
    static constexpr qint64 immediateLimit = qint64(1) << 17;

    explicit FilteredCapture(const CaptureStore* raw);
    ~FilteredCapture();
    FilteredCapture(const FilteredCapture&) = delete;
    FilteredCapture& operator=(const FilteredCapture&) = delete;

    // Cut-offs and notch in Hz, 0 for off. All off draws the raw store.
    void setChoices(double highPassHz, double lowPassHz, double notchHz);
    // The raw store was emptied or refilled: every channel's filter starts
    // afresh, with the rates the store now gives.
    void restart();
    // Samples were appended to the raw store: filters them at once when they
    // are few (a batch), else leaves them to step().
    void follow();
    // Does pending work for about `budgetMs`; true while some remains.
    bool step(double budgetMs);
    bool busy() const;
    // Share of the pending work done, 0..1 (1 when idle).
    double progress() const;

    // The store the plot draws: the raw one while no filter is in force.
    const CaptureStore* source() const;
    // A stage in force on at least one channel, or chosen but left out on at
    // least one because that channel's rate cannot carry it.
    bool isActive(DisplayFilter::Stage stage) const;
    bool isDropped(DisplayFilter::Stage stage) const;
    // The labels of the channels that leave a chosen stage out.
    QStringList droppedOn(DisplayFilter::Stage stage) const;
    bool anyChosen() const { return choice[0] > 0 || choice[1] > 0 || choice[2] > 0; }

    // Microvolts per unit of a channel's unit, or 0 when it is no voltage.
    static double microvoltsPer(const QString& unit);

private:
    struct Pass;
    std::unique_ptr<Pass> makePass() const;
    // The pass is out of step with the raw store (it was reset behind us).
    bool stale(const Pass& pass) const;
    qint64 backlog(const Pass& pass) const;
    // Filters the pass forward until it has caught up or the deadline passed
    // (a negative budget means no deadline).
    void advance(Pass& pass, double budgetMs);
    void checkStale();
    // Empties the slot; a large copy is freed on a pool thread.
    static void retire(std::unique_ptr<Pass>& slot);

    const CaptureStore* raw;
    double choice[3] = {0, 0, 0};
    std::unique_ptr<Pass> current; // drawn; null draws the raw store
    std::unique_ptr<Pass> pending; // catching up, to replace current
    qint64 pendingTotal = 0;
};

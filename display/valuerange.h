// Smallest and largest of a growing set of values. The signal plot keeps one per
// channel so that fitting the voltage axis after every batch costs the same
// whether a second or an hour of samples is stored: points are only ever
// appended or cleared, so the extremes never have to be searched again.
#pragma once

#include <cmath>

class ValueRange
{
public:
    void add(double value)
    {
        if (std::isnan(value))
            return; // the plot ignores such points when it scales, so do we
        if (empty) {
            lower = upper = value;
            empty = false;
        } else if (value < lower) {
            lower = value;
        } else if (value > upper) {
            upper = value;
        }
    }
    void clear() { empty = true; }
    void unite(const ValueRange& other)
    {
        if (other.empty)
            return;
        add(other.lower);
        add(other.upper);
    }

    bool isEmpty() const { return empty; }
    double min() const { return lower; }
    double max() const { return upper; }

private:
    bool empty = true;
    double lower = 0;
    double upper = 0;
};

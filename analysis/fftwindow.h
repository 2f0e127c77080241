// Spectrum window kinds and their weights. The kind's value equals the index of
// the window combo box in the main window.
#pragma once

#include <QMetaType>

enum FFTWindow {
    Rectangular = 0,
    Gauss = 1,
    Hamming = 2,
    Hann = 3,
    Triangular = 4,
    Nuttall = 5,
    Blackman = 6,
    BlackmanNuttall = 7,
    BlackmanHarris = 8,
    FlatTop = 9,
    Welch = 10,
};

// Weight of sample n (0..N-1) of a block of N for window `kind`; any kind
// outside 0..10 weighs 1.
double windowValue(int kind, double n, double N);

// Combo box index to window kind: 1..10 map to themselves, anything else to
// Rectangular.
FFTWindow fftWindowFromIndex(int index);

Q_DECLARE_METATYPE(FFTWindow)

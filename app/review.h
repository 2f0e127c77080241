// Why a recording file could not be opened, in the operator's words: one
// message per result of the recording-file module's reader, and for the ways
// reading the samples can end. Used by the window's Open (review.cpp).
#pragma once

#include <QString>

struct LoadedRecording;

// The problem named for the module's result `code` of opening a file for
// reading.
QString recordingOpenErrorText(int code);
// The same for a read that did not succeed; empty for one that did or that
// the operator cancelled.
QString recordingReadErrorText(const LoadedRecording& recording);

// Files the writer leaves in the awkward cases (a failed or unfinished write, limits that need
// rounding, far and sub-second onsets, the widest header, annotations carried into later
// records, a crash-safe file cut off at every instant) together with what every reader must
// find in them. Our reader checks them in edf_integrity_tests; edf_integrity_files writes them
// with a JSON manifest for MNE and biosig (edf_peer_integrity.py).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace edfcase
{

struct Annotation {
    int64_t onset;    // 100 ns units from the start of the recording
    int64_t duration; // 100 ns units, -1 for none
    std::string text;
};

struct Expected {
    std::string name;
    bool bdf = false;
    int64_t counted = 0;  // records the header counts: what our reader and biosig read
    int64_t complete = 0; // whole records in the file: MNE reads these
    int samples = 0;      // samples per record of signal 0
    std::string dimension;
    double step = 0;                     // one digital step of signal 0
    std::vector<double> values;          // signal 0 of the complete records, as written
    std::vector<Annotation> annotations; // those in the counted records
    std::vector<Annotation> uncounted;   // those in a complete record the header does not count
    // The count in the header when it is one ahead of the whole records (a power cut after the
    // count reached the disk but not the record it counts); 0 otherwise. Every reader then
    // reads the whole records.
    int64_t countAhead = 0;
    int64_t startSubsecond = 0; // 100 ns units
    bool forPeers = true;       // listed in the peers' manifest
};

// Writes every case into dir. False (with the reason) when the writer misbehaved while making
// them; the files' contents are for the readers to judge.
bool writeCases(const std::string& dir, std::vector<Expected>& cases, std::string& error);

} // namespace edfcase

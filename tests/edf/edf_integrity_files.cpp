// Writes the awkward files of edf_integrity_cases and a manifest.json describing what each one
// must read as, for the independent readers (edf_peer_integrity.py).
//
// usage: edf_integrity_files OUTPUT_DIR
#include "edf_integrity_cases.h"

#include <stdio.h>

namespace
{

void annotationList(FILE* f, const std::vector<edfcase::Annotation>& list)
{
    fprintf(f, "[");
    for (size_t i = 0; i < list.size(); i++) {
        const edfcase::Annotation& a = list[i];
        // Texts are plain ASCII without quotes or backslashes.
        fprintf(f, "%s{\"onset\": %.7f, \"duration\": %.7f, \"text\": \"%s\"}", i ? ", " : "",
                a.onset / 1e7, a.duration < 0 ? -1.0 : a.duration / 1e7, a.text.c_str());
    }
    fprintf(f, "]");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<edfcase::Expected> cases;
    std::string error;
    if (!edfcase::writeCases(dir, cases, error)) {
        fprintf(stderr, "writing the files failed: %s\n", error.c_str());
        return 1;
    }
    FILE* f = fopen((dir + "/manifest.json").c_str(), "w");
    if (!f)
        return 1;
    fprintf(f, "[\n");
    bool first = true;
    for (const edfcase::Expected& e : cases) {
        if (!e.forPeers)
            continue;
        fprintf(f, "%s{\"file\": \"%s\", \"bdf\": %s, \"counted\": %lld, \"complete\": %lld, ",
                first ? "" : ",\n", e.name.c_str(), e.bdf ? "true" : "false",
                static_cast<long long>(e.counted), static_cast<long long>(e.complete));
        fprintf(f,
                "\"samples\": %d, \"dimension\": \"%s\", \"step\": %.17g, \"subsecond\": %.7f,\n",
                e.samples, e.dimension.c_str(), e.step, e.startSubsecond / 1e7);
        fprintf(f, " \"ahead\": %lld,", static_cast<long long>(e.countAhead));
        fprintf(f, " \"values\": [");
        for (size_t i = 0; i < e.values.size(); i++)
            fprintf(f, "%s%.17g", i ? "," : "", e.values[i]);
        fprintf(f, "],\n \"annotations\": ");
        annotationList(f, e.annotations);
        fprintf(f, ", \"uncounted\": ");
        annotationList(f, e.uncounted);
        fprintf(f, "}");
        first = false;
    }
    fprintf(f, "\n]\n");
    return fclose(f) == 0 ? 0 : 1;
}

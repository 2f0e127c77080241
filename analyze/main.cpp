// neurask-analyze: the analysis of the window's Analysis menu on a recording
// file, for scripts: band powers, summary statistics and the photic driving
// report, printed as tables or written as CSV.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <cstdio>

#include "analysis/analysisreport.h"
#include "analysis/recordinganalysis.h"
#include "capture/recordingfile.h"
#include "edf/edf.h"

namespace
{

enum ExitCode {
    exitDone = 0,
    exitUsage = 2,
    exitUnreadable = 3,
    exitNothing = 4,
    exitWriteFailed = 5,
};

const char usage[] =
    "Usage: neurask-analyze FILE [options]\n"
    "Analyses an EDF, EDF+, BDF or BDF+ file: Welch power spectral density per channel,\n"
    "band powers (absolute in uV^2, relative in % of 0.5-45 Hz), peak alpha frequency\n"
    "(7-14 Hz), summary statistics, and the photic driving report for the light trains\n"
    "among its annotations. Channels in V, mV or uV are analysed spectrally.\n"
    "\n"
    "  --from S          start of the range, seconds from the start of the file (default 0)\n"
    "  --to S            end of the range (default: the end of the file)\n"
    "  --bands LIST      bands as name:low-high,... in Hz (default\n"
    "                    delta:0.5-4,theta:4-8,alpha:8-13,beta:13-30,gamma:30-45); a band\n"
    "                    holds its lower edge and not its upper\n"
    "  --segment S       Welch segment length, seconds (default 2)\n"
    "  --overlap P       overlap of the segments, percent, 0 to 95 (default 50)\n"
    "  --window NAME     rectangular, gauss, hamming, hann (default), triangular, nuttall,\n"
    "                    blackman, blackman-nuttall, blackman-harris, flattop, welch\n"
    "  --mains HZ        mains frequency for the mains share, 50 (default) or 60\n"
    "  --csv OUT         write the band powers to OUT, the statistics to OUT with -stats\n"
    "                    before its suffix and the photic report with -photic, instead of\n"
    "                    printing the tables\n"
    "  --help            show this text\n"
    "\n"
    "Exit status:\n"
    "  0  analysed\n"
    "  2  bad options (also a CSV file that would be the file analysed)\n"
    "  3  the file could not be opened or read\n"
    "  4  nothing to analyse: no samples in the range, or no channel long enough for one\n"
    "     segment\n"
    "  5  a CSV file could not be written\n";

const char* const windowNames[] = {"rectangular",     "gauss",   "hamming",  "hann",
                                   "triangular",      "nuttall", "blackman", "blackman-nuttall",
                                   "blackman-harris", "flattop", "welch"};

int fail(int code, const QString& message)
{
    QTextStream(stderr) << "neurask-analyze: " << message << '\n';
    return code;
}

bool number(const QString& text, double min, double max, double* out)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// OUT with `tag` before its suffix: "a/b.csv" -> "a/b-stats.csv".
QString taggedPath(const QString& path, const QString& tag)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const int dot = name.lastIndexOf('.');
    const QString tagged = dot > 0 ? name.left(dot) + tag + name.mid(dot) : name + tag;
    const QString dir = path.left(path.size() - name.size());
    return dir + tagged;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    QString path, csv;
    AnalysisRequest request;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "--help" || a == "-h") {
            fputs(usage, stdout);
            return exitDone;
        }
        const bool hasValue = i + 1 < args.size();
        const QString value = hasValue ? args[i + 1] : QString();
        bool ok = hasValue;
        if (a == "--from") {
            ok = ok && number(value, 0, 1e9, &request.from);
        } else if (a == "--to") {
            ok = ok && number(value, 0, 1e9, &request.to);
        } else if (a == "--bands") {
            QString why;
            if (ok && !parseBands(value, request.bands, &why))
                return fail(exitUsage, "--bands: " + why);
        } else if (a == "--segment") {
            ok = ok && number(value, 0.01, 3600, &request.welch.segmentSeconds);
        } else if (a == "--overlap") {
            ok = ok && number(value, 0, 95, &request.welch.overlapPercent);
        } else if (a == "--mains") {
            ok = ok && (value == "50" || value == "60");
            request.mainsHz = value.toDouble();
        } else if (a == "--window") {
            int kind = -1;
            for (int k = 0; k < 11; ++k)
                if (value.toLower() == windowNames[k])
                    kind = k;
            ok = ok && kind >= 0;
            request.welch.window = kind;
        } else if (a == "--csv") {
            ok = ok && !value.isEmpty();
            csv = value;
        } else if (a.startsWith("--") || !path.isEmpty()) {
            return fail(exitUsage, "unexpected argument " + a + " (see --help)");
        } else {
            path = a;
            continue;
        }
        if (!ok)
            return fail(exitUsage, "bad or missing value for " + a + " (see --help)");
        ++i;
    }
    if (path.isEmpty())
        return fail(exitUsage, "no file given (see --help)");
    if (request.to <= request.from)
        return fail(exitUsage, "--to must lie after --from");

    // A CSV named after the recording itself would overwrite it.
    const QString input = QFileInfo(path).canonicalFilePath();
    if (!csv.isEmpty() && !input.isEmpty()) {
        for (const QString& out : {csv, taggedPath(csv, "-stats"), taggedPath(csv, "-photic")}) {
            if (QFileInfo(out).canonicalFilePath() == input)
                return fail(exitUsage, "--csv: " + out + " is the file analysed");
        }
    }

    LoadedRecording recording;
    readRecording(path, recording);
    if (!recording.ok()) {
        QString why = "the file's samples could not be read";
        if (recording.status == RecordingReadStatus::OpenFailed)
            why = QString::fromUtf8(edf_result_text(recording.code));
        else if (recording.status == RecordingReadStatus::NoSignals)
            why = "the file holds no signals";
        return fail(exitUnreadable, path + ": " + why);
    }
    for (const RecordingAnnotation& a : recording.annotations)
        request.annotations.append({a.onset, a.duration, a.text});

    const AnalysisResult result = analyseStore(recording.store, request);
    bool any = false, anySamples = false;
    for (const ChannelAnalysis& ch : result.channels) {
        any = any || ch.spectral;
        anySamples = anySamples || ch.samples > 0;
    }
    if (!anySamples)
        return fail(exitNothing, "no samples in the range");

    const AnalysisTable bands = bandTable(result);
    const AnalysisTable stats = statisticsTable(result);
    const AnalysisTable photic = photicTable(result);
    if (!csv.isEmpty()) {
        const QString statsPath = taggedPath(csv, "-stats");
        const QString photicPath = taggedPath(csv, "-photic");
        if (!writeFile(csv, tableCsv(bands)))
            return fail(exitWriteFailed, "cannot write " + csv);
        if (!writeFile(statsPath, tableCsv(stats)))
            return fail(exitWriteFailed, "cannot write " + statsPath);
        if (!writeFile(photicPath, tableCsv(photic)))
            return fail(exitWriteFailed, "cannot write " + photicPath);
    } else {
        QTextStream out(stdout);
        out.setCodec("UTF-8");
        out << QString("%1: %2 to %3 s; Welch %4 s segments, %5 % overlap, %6 window\n\n")
                   .arg(QFileInfo(path).fileName())
                   .arg(result.from)
                   .arg(result.to)
                   .arg(request.welch.segmentSeconds)
                   .arg(request.welch.overlapPercent)
                   .arg(windowNames[request.welch.window]);
        out << "Band powers (uV^2; % of 0.5-45 Hz)\n" << tableText(bands) << '\n';
        out << "Statistics\n" << tableText(stats);
        if (!result.photic.isEmpty())
            out << "\nPhotic driving (power at the flash frequency f and at 2f, train against "
                   "the rest before it)\n"
                << tableText(photic);
    }
    if (!any)
        return fail(exitNothing, "no channel in V, mV or uV long enough for one segment");
    return exitDone;
}

// qmx58-probe: the QMX58 measurement from the command line, without the window. "scan" lists
// the crates and modules; "measure" runs the acquisition thread with the settings file and
// the options over it and writes the readings as CSV or JSON Lines. See --help.

#include "Probe.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    using namespace qmx::cli;
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    Command command;
    QString error;
    if (!parseCommandLine(args, command, error)) {
        complain(error);
        return kExitUsage;
    }
    switch (command.kind) {
    case Command::Kind::Help:
        std::fputs(usageText().toUtf8().constData(), stdout);
        return kExitDone;
    case Command::Kind::Version: {
        const QString v = programVersion();
        std::printf("qmx58-probe %s\n", v.isEmpty() ? "(no version)" : v.toUtf8().constData());
        return kExitDone;
    }
    case Command::Kind::Scan:
        return runScan(command.json);
    case Command::Kind::Measure:
        return runMeasure(command.measure);
    }
    return kExitUsage;
}

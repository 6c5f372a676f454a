// qmx58-probe: the QMX58 measurement from the command line, without the window. "scan" lists
// the crates and modules; "measure" runs the acquisition thread with the settings file and
// the options over it and writes the readings as CSV or JSON Lines; "record" writes the
// calibrated samples themselves. See --help.

#include "CliOutput.h"
#include "Probe.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_THREAD__)
// Qt's own mutexes are invisible to ThreadSanitizer in a Qt built without it: the acquisition
// thread's object, destroyed once TerminateAndWait has seen the thread finish, then looks as if
// it raced with the thread's last wake-up inside QThread. Only that pair is set aside.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QWaitCondition::~QWaitCondition\n";
}
#endif

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
    const RunOptions& o = command.options;
    switch (command.kind) {
    case CommandKind::Help:
        std::fputs(usageText(command.helpFor).toUtf8().constData(), stdout);
        return kExitDone;
    case CommandKind::Version: {
        const QString v = programVersion();
        std::printf("qmx58-probe %s\n", v.isEmpty() ? "(no version)" : v.toUtf8().constData());
        return kExitDone;
    }
    default:
        break;
    }
    // From here on Ctrl-C, SIGTERM and SIGHUP end the run cleanly, and so does --timeout.
    if (!installSignalHandlers()) {
        complain(QString("cannot watch for signals: ") + std::strerror(errno));
        return kExitAcquisition;
    }
    if (o.timeoutSeconds)
        setRunDeadline(*o.timeoutSeconds);
    // The libraries take the crate server's port from the environment, over any argument.
    if (o.serverPort)
        ::setenv("QMX_SERVER_PORT", QByteArray::number(*o.serverPort).constData(), 1);
    switch (command.kind) {
    case CommandKind::Scan: return runScan(o.json);
    case CommandKind::Measure: return runMeasure(o);
    case CommandKind::Record: return runRecord(o);
    default: return kExitUsage;
    }
}

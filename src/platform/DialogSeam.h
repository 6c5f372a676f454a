#pragma once
// DialogSeam: the one way any modal dialog of the program is shown. The window and both
// worker threads (through synchronised calls) go through it; the program installs the Qt
// implementation, tests install a recorder that answers at once, so no test ever blocks on a
// dialog.

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace qmx {

enum class MsgIcon { None, Information, Warning, Error };

// Kinds of the sized message dialog (its colours and icon).
enum class DialogKind { Warning, Error, Information, Confirmation, Custom };

// An open or a save file dialog, as the window describes it.
struct FileDialogRequest {
    QString name;             // the dialog's name
    bool save = false;        // a save dialog (else an open dialog)
    QString defaultFileName;  // the file name offered first
    bool confirmOverwrite = false;
    QString filter;
};

// A number the operator types, as the window describes it.
struct NumberRequest {
    QString name;     // the dialog's name
    QString caption;  // its title
    QString label;    // the text above the field
    double value = 0;
    double minimum = 0;
    double maximum = 0;
    int decimals = 3;
};

class DialogSeam {
public:
    virtual ~DialogSeam() = default;

    // A modal message box with one OK button.
    virtual void messageBox(QWidget* parent, const QString& text, const QString& caption, MsgIcon icon) = 0;

    // The fixed-size modal message dialog; returns the index of the button that closed it,
    // or -1 when it was closed some other way.
    virtual int sizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind,
                                   const QStringList& buttons, const QString& text) = 0;

    // A modal question with Yes and No buttons; true for Yes.
    virtual bool question(QWidget* parent, const QString& text, const QString& caption) = 0;

    // A modal open or save file dialog, centred on the parent's window; the chosen file, or an
    // empty text when the operator cancelled.
    virtual QString fileDialog(QWidget* parent, const FileDialogRequest& request) = 0;

    // A modal number input, centred on the parent's window; the number (within the request's
    // limits), or nullopt when the operator cancelled.
    virtual std::optional<double> inputNumber(QWidget* parent, const NumberRequest& request) = 0;
};

}  // namespace qmx

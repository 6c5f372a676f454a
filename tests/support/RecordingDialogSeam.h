#pragma once
// A dialog seam for tests: records every dialog the program asks for and answers at once.

#include "DialogSeam.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

namespace qmxtest {

struct RecordedDialog {
    bool sized = false;
    QString text;
    QString caption;
    qmx::MsgIcon icon = qmx::MsgIcon::None;
    qmx::DialogKind kind = qmx::DialogKind::Custom;
    QStringList buttons;
};

class RecordingDialogSeam : public qmx::DialogSeam {
public:
    void messageBox(QWidget*, const QString& text, const QString& caption, qmx::MsgIcon icon) override
    {
        std::lock_guard<std::mutex> lock(m);
        RecordedDialog d;
        d.text = text;
        d.caption = caption;
        d.icon = icon;
        shown.push_back(d);
    }
    int sizedMessageDialog(QWidget*, const QString& caption, qmx::DialogKind kind, const QStringList& buttons,
                           const QString& text) override
    {
        std::lock_guard<std::mutex> lock(m);
        RecordedDialog d;
        d.sized = true;
        d.text = text;
        d.caption = caption;
        d.kind = kind;
        d.buttons = buttons;
        shown.push_back(d);
        return answer;
    }
    // A question is recorded with the buttons "Yes" and "No" and answered with questionAnswer.
    bool question(QWidget*, const QString& text, const QString& caption) override
    {
        std::lock_guard<std::mutex> lock(m);
        RecordedDialog d;
        d.text = text;
        d.caption = caption;
        d.buttons = QStringList{"Yes", "No"};
        shown.push_back(d);
        return questionAnswer;
    }
    // A file dialog is recorded with its name as caption and answered with fileAnswer.
    QString fileDialog(QWidget*, const qmx::FileDialogRequest& request) override
    {
        std::lock_guard<std::mutex> lock(m);
        RecordedDialog d;
        d.caption = request.name;
        d.text = request.defaultFileName;
        shown.push_back(d);
        return fileAnswer;
    }
    // A number input is recorded with its name as caption and its label as text, and
    // answered with numberAnswer.
    std::optional<double> inputNumber(QWidget*, const qmx::NumberRequest& request) override
    {
        std::lock_guard<std::mutex> lock(m);
        RecordedDialog d;
        d.caption = request.name;
        d.text = request.label;
        shown.push_back(d);
        return numberAnswer;
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(m);
        return shown.size();
    }

    std::mutex m;
    std::vector<RecordedDialog> shown;
    int answer = 0;
    bool questionAnswer = true;
    QString fileAnswer;
    std::optional<double> numberAnswer;
};

}  // namespace qmxtest

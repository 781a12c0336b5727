// A small modal dialog asking for one line of text ("Text", an edit box, OK and
// Cancel). No window of the program opens it at present; it is kept for
// features that need to ask for a name.
//
// Use: create, optionally fill edtText, exec(); on QDialog::Accepted read
// edtText->text(). OK and Enter accept, Cancel, Escape and the close box
// reject.
//
// Threads: main thread only.
#pragma once

#include <QDialog>

class QCloseEvent;
class QKeyEvent;
class QLineEdit;
class QPushButton;

class TfrmInputText : public QDialog {
    Q_OBJECT
public:
    explicit TfrmInputText(QWidget* parent = nullptr);

    QLineEdit* edtText = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    void FormCreate();
    void FormClose(QCloseEvent* event);
    // Enter (OK) and Escape (Cancel), also when typed into the edit box; true when handled.
    bool FormKeyDown(QKeyEvent* event);
    void btnOKClick();
    void btnCancelClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

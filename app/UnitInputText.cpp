#include "UnitInputText.h"

#include "UnitHelpers.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

TfrmInputText::TfrmInputText(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmInputText"));
    setWindowTitle(QStringLiteral("Text"));
    setFixedSize(355, 75);

    edtText = new QLineEdit(this);
    edtText->setObjectName(QStringLiteral("edtText"));
    edtText->setGeometry(11, 10, 332, edtText->sizeHint().height());

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(186, 43, 75, 23);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &TfrmInputText::btnOKClick);

    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(269, 43, 75, 23);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmInputText::btnCancelClick);

    // Key preview for the edit box: Enter and Escape typed there are the dialog's. A
    // focused button keeps Enter for itself, as users expect of a focused Cancel.
    edtText->installEventFilter(this);

    FormCreate();
}

void TfrmInputText::FormCreate() {
    edtText->clear();
    edtText->setFocus();
    CenterBrowseDialog(this);
}

void TfrmInputText::FormClose(QCloseEvent* event) {
    // Closing through the window's close box is a cancel; QDialog records it as rejected.
    event->accept();
}

bool TfrmInputText::FormKeyDown(QKeyEvent* event) {
    if (event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))
        return false;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        btnOKClick();
        return true;
    case Qt::Key_Escape:
        btnCancelClick();
        return true;
    default:
        return false;
    }
}

void TfrmInputText::btnOKClick() {
    accept();
}

void TfrmInputText::btnCancelClick() {
    reject();
}

void TfrmInputText::closeEvent(QCloseEvent* event) {
    FormClose(event);
    QDialog::closeEvent(event);
}

void TfrmInputText::keyPressEvent(QKeyEvent* event) {
    if (!FormKeyDown(event))
        QDialog::keyPressEvent(event);
}

bool TfrmInputText::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && FormKeyDown(static_cast<QKeyEvent*>(event)))
        return true;
    return QDialog::eventFilter(watched, event);
}

#include "app/qt/QtToolkit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QScreen>

void TQtListBox::AddAndSelect(const std::string& ALine) {
    fList.addItem(QString::fromStdString(ALine));
    fList.setCurrentRow(fList.count() - 1);
    fList.scrollToBottom();
}

std::string TQtListBox::Item(int AIndex) const {
    const QListWidgetItem* item = fList.item(AIndex);
    return item ? item->text().toStdString() : std::string();
}

TQtButton::TQtButton(QPushButton& AButton) : fButton(AButton) {
    QObject::connect(&fButton, &QPushButton::clicked, [this] { Click(); });
}

void TQtButton::SetCaption(const std::string& ACaption) {
    fButton.setText(QString::fromStdString(ACaption));
}

TQtTimer::TQtTimer(QTimer& ATimer) : fTimer(ATimer) {
    fTimer.setSingleShot(true);
    QObject::connect(&fTimer, &QTimer::timeout, [this] { Fire(); });
}

void TQtTimer::SetEnabled(bool AEnabled) {
    if (AEnabled)
        fTimer.start();
    else
        fTimer.stop();
}

TQtToolkit::TQtToolkit()
    : fList(new QListWidget(&fWindow)), fBar(new QProgressBar(&fWindow)), fPush(new QPushButton(&fWindow)),
      fQTimer(new QTimer(&fWindow)), fListBox(*fList), fProgressBar(*fBar), fButton(*fPush),
      fTimer(*fQTimer) {
    // A fixed border with the system menu and close button only: no minimise or maximise.
    fWindow.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    fWindow.setFont(font);
    fList->setSelectionMode(QAbstractItemView::SingleSelection);
    // The form's original layout; the form moves the controls when it resizes the log.
    fList->setGeometry(BorderWidth, BorderWidth, 480, 257);
    fBar->setGeometry(BorderWidth, BorderWidth + 272, 480, 17);
    fBar->setTextVisible(false);
    fBar->setRange(0, 100);
    fBar->setValue(0);
    fPush->setGeometry(BorderWidth, BorderWidth + 295, 121, 25);
    fPush->setText(QStringLiteral("Update"));
    fPush->setEnabled(false);
    fQTimer->setInterval(200);
    FitWindow();
    fWindow.installEventFilter(&fCloseWatch);
}

bool TQtToolkit::TCloseWatch::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::Close && fOnClose)
        fOnClose();
    return QObject::eventFilter(AWatched, AEvent);
}

void TQtToolkit::FitWindow() {
    int right = 0;
    int bottom = 0;
    for (const QWidget* control :
         {static_cast<QWidget*>(fList), static_cast<QWidget*>(fBar), static_cast<QWidget*>(fPush)}) {
        right = std::max(right, control->geometry().right() + 1);
        bottom = std::max(bottom, control->geometry().bottom() + 1);
    }
    fWindow.setFixedSize(right + BorderWidth, bottom + BorderWidth);
}

void TQtToolkit::SetLogSize(int AWidth, int AHeight) {
    const QRect log(fList->x(), fList->y(), AWidth, AHeight);
    fList->setGeometry(log);
    fBar->setGeometry(log.x(), log.y() + AHeight + 16, AWidth, fBar->height());
    fPush->move(log.x(), fBar->y() + fBar->height() + 16);
    FitWindow();
}

void TQtToolkit::CenterOnScreen() {
    const QScreen* screen = fWindow.screen() ? fWindow.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = fWindow.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    fWindow.move(frame.topLeft());
}

void TQtToolkit::SetCaption(const std::string& ACaption) {
    fWindow.setWindowTitle(QString::fromStdString(ACaption));
}

void TQtToolkit::ShowMessage(const std::string& AText) {
    // No parent: the box is centred on the screen, as the start-up error must be.
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), QString::fromStdString(AText),
                    QMessageBox::Ok);
    box.exec();
}

std::optional<std::string> TQtToolkit::InputBox(const std::string& ATitle, const std::string& APrompt,
                                                const std::string& AText) {
    bool confirmed = false;
    const QString text =
        QInputDialog::getText(&fWindow, QString::fromStdString(ATitle), QString::fromStdString(APrompt),
                              QLineEdit::Normal, QString::fromStdString(AText), &confirmed);
    if (!confirmed)
        return std::nullopt;
    return text.toStdString();
}

void TQtToolkit::SetBusyCursor(bool ABusy) {
    if (ABusy == fBusy)
        return;
    fBusy = ABusy;
    if (ABusy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TQtToolkit::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtToolkit::CloseEverything() {
    // A dialog hides as it is cancelled, so the next one down becomes the active modal widget.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;
    }
    fWindow.close();
    Terminate();
}

void TQtToolkit::Terminate() {
    // Queued, so the caller's handler finishes before the event loop ends.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

#pragma once
// The Qt 6 Widgets toolkit: the updater's one window with its log, progress bar and Update button,
// laid out at the form's original sizes until the form resizes the log.
#include "app/ui/Toolkit.h"

#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>

class TQtListBox final : public TListBox {
public:
    explicit TQtListBox(QListWidget& AList) : fList(AList) {}
    void AddAndSelect(const std::string& ALine) override;
    void Clear() override { fList.clear(); }
    int Count() const override { return fList.count(); }
    std::string Item(int AIndex) const override;
    void Repaint() override { fList.repaint(); }

private:
    QListWidget& fList;
};

class TQtProgressBar final : public TProgressBar {
public:
    explicit TQtProgressBar(QProgressBar& ABar) : fBar(ABar) {}
    void SetMin(int AMin) override { fBar.setMinimum(AMin); }
    void SetMax(int AMax) override { fBar.setMaximum(AMax); }
    void SetPosition(int APosition) override { fBar.setValue(APosition); }
    void Repaint() override { fBar.repaint(); }
    int Min() const override { return fBar.minimum(); }
    int Max() const override { return fBar.maximum(); }
    int Position() const override { return fBar.value(); }

private:
    QProgressBar& fBar;
};

class TQtButton final : public TButton {
public:
    explicit TQtButton(QPushButton& AButton);
    void SetCaption(const std::string& ACaption) override;
    std::string Caption() const override { return fButton.text().toStdString(); }
    void SetEnabled(bool AEnabled) override { fButton.setEnabled(AEnabled); }
    bool Enabled() const override { return fButton.isEnabled(); }

private:
    QPushButton& fButton;
};

class TQtTimer final : public TTimer {
public:
    explicit TQtTimer(QTimer& ATimer);
    void SetInterval(int AMilliseconds) override { fTimer.setInterval(AMilliseconds); }
    int Interval() const override { return fTimer.interval(); }
    void SetEnabled(bool AEnabled) override;
    bool Enabled() const override { return fTimer.isActive(); }

private:
    QTimer& fTimer;
};

class TQtToolkit final : public TToolkit {
public:
    static constexpr int BorderWidth = 16;

    TQtToolkit();

    void ShowMessage(const std::string& AText) override;
    std::optional<std::string> InputBox(const std::string& ATitle, const std::string& APrompt,
                                        const std::string& AText) override;
    void SetBusyCursor(bool ABusy) override;
    void SetWindowEnabled(bool AEnabled) override { fWindow.setEnabled(AEnabled); }
    void SetCaption(const std::string& ACaption) override;
    void SetLogSize(int AWidth, int AHeight) override;
    void CenterOnScreen() override;
    void ProcessMessages() override;
    void Terminate() override;

    TListBox& ListBox() override { return fListBox; }
    TProgressBar& ProgressBar() override { return fProgressBar; }
    TButton& Button() override { return fButton; }
    TTimer& Timer() override { return fTimer; }

    // Runs when the window is about to close (the user closed it or the program asked it to).
    void SetOnClose(std::function<void()> AHandler) { fCloseWatch.fOnClose = std::move(AHandler); }
    // Ends the program whatever is showing: open dialogs (message and input boxes, which run
    // loops of their own) are cancelled, the window is closed and the event loop ends.
    void CloseEverything();

    QWidget& Window() { return fWindow; }
    QListWidget& LogWidget() { return *fList; }
    QProgressBar& BarWidget() { return *fBar; }
    QPushButton& ButtonWidget() { return *fPush; }

private:
    // Sees the window's close event before the window does.
    class TCloseWatch final : public QObject {
    public:
        bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
        std::function<void()> fOnClose;
    };

    // Sizes the window to wrap the controls inside the border.
    void FitWindow();

    TCloseWatch fCloseWatch;
    QWidget fWindow;
    QListWidget* fList; // owned by fWindow
    QProgressBar* fBar; // owned by fWindow
    QPushButton* fPush; // owned by fWindow
    QTimer* fQTimer;    // owned by fWindow
    TQtListBox fListBox;
    TQtProgressBar fProgressBar;
    TQtButton fButton;
    TQtTimer fTimer;
    bool fBusy = false;
};

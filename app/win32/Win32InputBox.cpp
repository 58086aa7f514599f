#include "app/win32/Win32InputBox.h"

#include <vector>

namespace {

constexpr WORD EditId = 100;
// The predefined window classes of a dialog item template, by atom.
constexpr WORD ButtonClass = 0x0080;
constexpr WORD EditClass = 0x0081;
constexpr WORD StaticClass = 0x0082;

// A DLGTEMPLATE and its items as the system reads them: 16-bit words, the items aligned to 32 bits.
class TDialogTemplate {
public:
    TDialogTemplate(const std::wstring& ATitle, short AWidth, short AHeight, WORD AItems) {
        AddLong(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        AddLong(0);
        fWords.push_back(AItems);
        for (const short value : {short(0), short(0), AWidth, AHeight})
            fWords.push_back(WORD(value));
        fWords.push_back(0); // no menu
        fWords.push_back(0); // the standard dialog class
        AddText(ATitle);
        fWords.push_back(8); // point size of the font
        AddText(L"MS Shell Dlg");
    }

    void AddItem(DWORD AStyle, short ALeft, short ATop, short AWidth, short AHeight, WORD AId, WORD AClass,
                 const std::wstring& AText) {
        if (fWords.size() % 2 != 0)
            fWords.push_back(0);
        AddLong(WS_CHILD | WS_VISIBLE | AStyle);
        AddLong(0);
        for (const short value : {ALeft, ATop, AWidth, AHeight})
            fWords.push_back(WORD(value));
        fWords.push_back(AId);
        fWords.push_back(0xFFFF);
        fWords.push_back(AClass);
        AddText(AText);
        fWords.push_back(0); // no creation data
    }

    const DLGTEMPLATE* Data() const { return reinterpret_cast<const DLGTEMPLATE*>(fWords.data()); }

private:
    void AddLong(DWORD AValue) {
        fWords.push_back(LOWORD(AValue));
        fWords.push_back(HIWORD(AValue));
    }
    void AddText(const std::wstring& AText) {
        fWords.insert(fWords.end(), AText.begin(), AText.end());
        fWords.push_back(0);
    }

    // WORDs in a vector start 32-bit aligned, so even word offsets are aligned too.
    std::vector<WORD> fWords;
};

struct TInputState {
    std::wstring fText;
};

INT_PTR CALLBACK DialogProcedure(HWND ADialog, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    switch (AMessage) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(ADialog, DWLP_USER, ALParam);
        const HWND edit = GetDlgItem(ADialog, EditId);
        SendMessageW(edit, EM_SETSEL, 0, -1);
        SetFocus(edit);
        return FALSE; // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(AWParam) == IDOK) {
            auto* state = reinterpret_cast<TInputState*>(GetWindowLongPtrW(ADialog, DWLP_USER));
            const HWND edit = GetDlgItem(ADialog, EditId);
            std::wstring text(size_t(GetWindowTextLengthW(edit)) + 1, L'\0');
            text.resize(size_t(GetWindowTextW(edit, text.data(), int(text.size()))));
            state->fText = std::move(text);
            EndDialog(ADialog, IDOK);
            return TRUE;
        }
        if (LOWORD(AWParam) == IDCANCEL) {
            EndDialog(ADialog, IDCANCEL);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

} // namespace

std::optional<std::wstring> RunInputBox(HWND AOwner, const std::wstring& ATitle, const std::wstring& APrompt,
                                        const std::wstring& AText) {
    TDialogTemplate dialog(ATitle, 220, 62, 4);
    dialog.AddItem(SS_LEFT | SS_NOPREFIX, 7, 7, 206, 10, WORD(-1), StaticClass, APrompt);
    dialog.AddItem(WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 20, 206, 12, EditId, EditClass, AText);
    dialog.AddItem(WS_TABSTOP | BS_DEFPUSHBUTTON, 109, 41, 50, 14, IDOK, ButtonClass, L"OK");
    dialog.AddItem(WS_TABSTOP | BS_PUSHBUTTON, 163, 41, 50, 14, IDCANCEL, ButtonClass, L"Cancel");
    TInputState state;
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.Data(), AOwner,
                                                   DialogProcedure, reinterpret_cast<LPARAM>(&state));
    if (result != IDOK)
        return std::nullopt;
    return state.fText;
}

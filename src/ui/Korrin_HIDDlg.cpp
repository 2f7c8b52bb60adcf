// The main window: its template, bindings, start-up, event log, window menu,
// minimised icon and ways of closing. The handlers of the other subsystems
// are members too and live with them (see Korrin_HIDDlg.h).
#include "ui/Korrin_HIDDlg.h"

#include "protocol/protocol.h"
#include "ui/AboutDlg.h"
#include "ui/app_resources.h"

CKorrin_HIDDlg::CKorrin_HIDDlg(CDialog* pParent) : CDialog(Template(), pParent) {
  korrin::ui::EnsureResources();
  m_hIcon = LoadIcon(IDR_MAINFRAME);
}

CKorrin_HIDDlg::~CKorrin_HIDDlg() {
  // The window may close while a transfer runs: the worker uses g_Comm and
  // posts to this window, so it must be over before either goes away.
  StopTransfer();
}

const DialogTemplate& CKorrin_HIDDlg::Template() { return korrin::ui::MainDialogTemplate(); }

void CKorrin_HIDDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Control(pDX, IDC_LOG_LIST, m_LogList);
  DDX_Text(pDX, IDC_FILE_PATH, m_strImagePath);
  DDX_Text(pDX, IDC_FW_VERSION, m_strImageVersion);
  DDX_Control(pDX, IDC_DEVICE_COMBO, m_DeviceCombo);
  DDX_CBString(pDX, IDC_DEVICE_COMBO, m_strDevice);
  DDX_Control(pDX, IDC_PROGRESS, m_Progress);
  DDX_Control(pDX, IDC_BROWSE, m_BrowseButton);
}

BOOL CKorrin_HIDDlg::OnInitDialog() {
  (void)CDialog::OnInitDialog();

  g_nDeviceIndex = 0;
  m_strImagePath = kDefaultImageName;
  m_strImageVersion = "1.0";
  g_Comm.m_strFilePath = m_strImagePath;

  if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
    const std::string strAboutMenu = LoadString(IDS_ABOUTBOX);
    if (!strAboutMenu.empty()) {
      pSysMenu->AppendMenu(CMenu::MF_SEPARATOR);
      pSysMenu->AppendMenu(CMenu::MF_STRING, IDM_ABOUTBOX, strAboutMenu);
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  g_bUpdateDone = false;
  m_Progress.EnableWindow(FALSE);
  g_bAttached = false;
  (void)SetTimer(ID_SCAN_TIMER, 100);

  (void)UpdateData(FALSE);
  (void)UpdateData(TRUE);
  return TRUE;
}

void CKorrin_HIDDlg::AppendLog(std::string line) {
  // Inserted at the end rather than added: the list box sorts what is added.
  const int n = m_LogList.InsertString(-1, line);
  m_LogList.SetCurSel(n);   // scrolls the new line into view
  m_LogList.SetCurSel(-1);  // and leaves nothing highlighted
}

void CKorrin_HIDDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg dlgAbout;
    (void)dlgAbout.DoModal();
  } else {
    CDialog::OnSysCommand(nID, lParam);
  }
}

void CKorrin_HIDDlg::OnPaint() {
  if (IsIconic()) {
    CPaintDC dc(this);
    (void)SendMessage(WM_ICONERASEBKGND, dc.GetSafeHdc(), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    Rect rect;
    GetClientRect(&rect);
    // Signed, rounding toward zero: a client area smaller than the icon
    // puts it at 0 rather than at -1.
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
  } else {
    CDialog::OnPaint();
  }
}

HICON CKorrin_HIDDlg::OnQueryDragIcon() { return m_hIcon; }

void CKorrin_HIDDlg::OnClose() { (void)Default(WM_CLOSE, 0, 0); }

void CKorrin_HIDDlg::OnOK() { CDialog::OnOK(); }

void CKorrin_HIDDlg::OnAboutButton() {
  CAboutDlg dlgAbout;
  (void)dlgAbout.DoModal();
}

LRESULT CKorrin_HIDDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    case WM_TIMER:
      OnTimer(static_cast<UINT_PTR>(wParam));
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DEVICECHANGE:
      return OnDeviceChange(wParam, lParam);
    case WM_UPDATE_PROGRESS:
      return OnUpdateProgress(wParam, lParam);
    case WM_TRANSFER_FAILED:
      return OnTransferFailed(wParam, lParam);
    case WM_COMMAND: {
      const int id = CommandId(wParam);
      const UINT code = CommandCode(wParam);
      if (id == IDC_ABOUT_BUTTON && code == BN_CLICKED) {
        OnAboutButton();
        return 0;
      }
      if (id == IDC_DEVICE_COMBO && code == CBN_SELCHANGE) {
        OnSelchangeDeviceCombo();
        return 0;
      }
      if (id == IDC_BROWSE && code == BN_CLICKED) {
        OnBrowse();
        return 0;
      }
      break;
    }
    default:
      break;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}

// The main frame, its info bar and view.
#include "shell/main_frame.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "res/strings.h"
#include "ui/bitmaps.h"
#include "ui/controller_host.h"
#include "ui/dialog_units.h"
#include "ui/qt_update_ui.h"
#include "ui/window_system.h"

namespace {

// How long filling the desktop waits for the window manager to tell the frame's extents.
constexpr int FRAME_EXTENTS_WAIT_MS = 300;

}  // namespace

CInfoBar::CInfoBar(QWidget* parent) : QWidget(parent) {
    // Template 101 is 14 dialog units high; the bar keeps a one-pixel border at its bottom.
    const res::DialogTemplate* bar = res::FindDialogTemplate(res::IDD_INFOBAR);
    int height = 22;
    if (bar != nullptr) {
        height = ui::MapDialogRect(bar->rect, ui::DialogBaseUnits(ui::TemplateFont(*bar))).height() + 1;
    }
    setFixedHeight(height);
    setAutoFillBackground(true);
}

void CInfoBar::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setPen(QColor(128, 128, 128));
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    if (g_pController == nullptr || g_pController->StatusText().empty()) {
        return;
    }
    const std::string& text = g_pController->StatusText();
    painter.setPen(palette().color(QPalette::WindowText));
    // The text's cell starts 5 pixels down; drawText places the baseline.
    painter.drawText(2, 5 + fontMetrics().ascent(),
                     QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

CQx250fwView::CQx250fwView(QWidget* parent) : QWidget(parent), m_picture(ui::CreateBackgroundPicture()) {
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(255, 255, 255));
    setPalette(colours);
    setAutoFillBackground(true);
}

QPoint CQx250fwView::PicturePosition(QSize viewSize) {
    // Integer halves truncate toward zero; a view smaller than the picture gives negative offsets.
    return QPoint(viewSize.width() / 2 - res::BACKGROUND_WIDTH / 2,
                  viewSize.height() / 2 - res::BACKGROUND_HEIGHT / 2);
}

void CQx250fwView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(PicturePosition(size()), m_picture);
    if (m_bStartPending != 0) {
        m_startTimerId = startTimer(START_DELAY_MS, Qt::PreciseTimer);
        m_bStartPending = 0;
    }
}

void CQx250fwView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_startTimerId || m_startTimerId == 0) {
        QWidget::timerEvent(event);
        return;
    }
    killTimer(m_startTimerId);
    m_startTimerId = 0;
    if (m_startAction) {
        m_startAction();
    }
}

CMainFrame::CMainFrame(platform::IDevices& devices)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_infoBar(new CInfoBar(this)),
      m_view(new CQx250fwView(this)) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QString::fromLatin1(res::LoadString(res::IDS_TITLE)));
    ui::DeclareCaptionOnly(*this);
    resize(640, 400);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_infoBar);
    layout->addWidget(m_view, 1);

    // The one controller of the process.
    g_pController = nullptr;
    m_controller = std::make_unique<CUpdateController>(devices);
    m_host = std::make_unique<ui::CControllerHost>(*m_controller);
    m_ui = std::make_unique<ui::CQtUpdateUi>(*m_host, m_view, this);
    m_controller->SetInfoBar(m_infoBar);
    m_controller->SetStatus(STATUS_LINE_PORT_PROMPT);

    // Ctrl+Q closes; Ctrl+N and Ctrl+O are taken but do nothing the user could see.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, [this] { CloseApp(); });
    new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);

    m_view->SetStartAction([this] { RunUpdateOnce(); });
    FillDesktop();
    m_view->OnInitialUpdate();
}

CMainFrame::~CMainFrame() {
    // The notice and the dialogs go before the controller they report to.
    m_ui.reset();
    m_host.reset();
    if (m_controller != nullptr) {
        m_controller->SetInfoBar(nullptr);
    }
    m_controller.reset();
}

int CMainFrame::FillDesktop() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return 0;
    }
    // The frame the window manager adds goes inside the desktop too.
    setGeometry(screen->availableGeometry().marginsRemoved(ui::FrameExtents(*this, FRAME_EXTENTS_WAIT_MS)));
    return 0;
}

void CMainFrame::SetStartAction(std::function<void()> action) {
    m_startAction = std::move(action);
}

void CMainFrame::RunUpdateOnce() {
    m_bRunning = true;
    if (m_startAction) {
        m_startAction();
    } else if (m_controller != nullptr && m_ui != nullptr) {
        m_controller->RunUpdate(*m_ui);
    }
    m_bRunning = false;
    CloseApp();
}

void CMainFrame::CloseApp() {
    if (m_bRunning) {
        return;  // RunUpdateOnce closes the frame when the update returns
    }
    close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // Closing while the update runs would pull the controller from under it; the frame closes as soon
    // as the update returns instead.
    if (m_bRunning) {
        event->ignore();
        return;
    }
    event->accept();
}

#include "DetailsDlg.h"

#include "AppTableModel.h"
#include "DeviceTableModel.h"
#include "RateGraph.h"
#include "TimedSampler.h"

#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Whole rows are selected: a focus frame around one cell would only look like an input box.
// (A style sheet would do the same at twice the cost of every repaint.)
class CRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* pOption, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(pOption, index);
        pOption->state &= ~QStyle::State_HasFocus;
    }
};

} // namespace

CDetailsDlg::CDetailsDlg(IDetailsSource& source, const CTimedSampler& sampler,
                         const QByteArray& geometry, QWidget* pParent)
    : QDialog(pParent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      m_source(source), m_sampler(sampler) {
    setObjectName(QStringLiteral("IDD_DETAILS"));
    setWindowTitle(QStringLiteral("Orvek - Details"));
    setModal(false);
    setSizeGripEnabled(true);

    m_pModel = new CDeviceTableModel(m_source.GetExcludedDevices(), this);
    m_tunnels = m_source.GetTunnels();
    // User-interface thread, on a tick or untick: the source applies it without waiting. A
    // tunnel unticked is closed and no longer a tunnel.
    connect(m_pModel, &CDeviceTableModel::ExcludedChanged, this,
            [this](const std::set<std::string>& excluded) {
                const size_t nTunnels = m_tunnels.size();
                // A tunnel the user unticks is no longer one; a device said to be none stays so.
                std::erase_if(m_tunnels, [&](const auto& tunnel) {
                    return !tunnel.second.empty() && excluded.contains(tunnel.first);
                });
                if (m_tunnels.size() != nTunnels) {
                    m_source.SetTunnels(m_tunnels);
                }
                m_source.SetExcludedDevices(excluded);
            });

    m_pTabs = new QTabWidget(this);
    m_pTabs->setDocumentMode(true);
    auto* pSplitter = m_pSplitter = new QSplitter(Qt::Vertical, m_pTabs);
    m_pTable = new QTableView(pSplitter);
    m_pTable->setObjectName(QStringLiteral("IDC_DEVICES"));
    m_pTable->setModel(m_pModel);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->setAlternatingRowColors(true);
    m_pTable->setWordWrap(false);
    m_pTable->setTextElideMode(Qt::ElideRight);
    m_pTable->verticalHeader()->hide();
    m_pTable->setItemDelegate(new CRowDelegate(m_pTable));
    m_pTable->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_pTable, &QTableView::customContextMenuRequested, this, [this](const QPoint& point) {
        if (const std::unique_ptr<QMenu> pMenu = CreateDeviceMenu(m_pTable->rowAt(point.y()))) {
            pMenu->exec(m_pTable->viewport()->mapToGlobal(point));
        }
    });
    // Compact rows, so that 40 devices fit a screen; columns keep the widths fitted once, not
    // measured on every refresh.
    m_pTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_pTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_pTable->horizontalHeader()->setStretchLastSection(false);
    // The state takes the room left: a failure's libpcap text is the longest cell.
    m_pTable->horizontalHeader()->setSectionResizeMode(CDeviceTableModel::kColState,
                                                       QHeaderView::Stretch);
    m_pTable->horizontalHeader()->setHighlightSections(false);

    m_pGraph = new CRateGraph(m_sampler, pSplitter);
    m_pGraph->setObjectName(QStringLiteral("IDC_RATE_GRAPH"));
    // The table is fitted to its rows (FitTableToRows); a bigger window grows the graph.
    pSplitter->setStretchFactor(0, 0);
    pSplitter->setStretchFactor(1, 1);
    pSplitter->setChildrenCollapsible(false);

    m_pMonitorNote = new QLabel(
        QStringLiteral("Devices and addresses are not followed: the monitor of the host's changes "
                       "failed and restarts by itself. Devices that appear or change meanwhile "
                       "are not opened or closed."),
        this);
    m_pMonitorNote->setObjectName(QStringLiteral("IDC_MONITOR_NOTE"));
    m_pMonitorNote->setWordWrap(true);
    m_pMonitorNote->setTextFormat(Qt::PlainText);
    m_pMonitorNote->hide();

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(6, 6, 6, 6);
    pLayout->addWidget(m_pMonitorNote);
    m_pTabs->addTab(pSplitter, QStringLiteral("De&vices"));
    m_pAppModel = new CAppTableModel(this);
    m_pAppTable = new QTableView(m_pTabs);
    m_pAppTable->setObjectName(QStringLiteral("IDC_APPLICATIONS"));
    m_pAppTable->setModel(m_pAppModel);
    m_pAppTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pAppTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pAppTable->setAlternatingRowColors(true);
    m_pAppTable->setWordWrap(false);
    m_pAppTable->verticalHeader()->hide();
    m_pAppTable->setItemDelegate(new CRowDelegate(m_pAppTable));
    m_pAppTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_pAppTable->horizontalHeader()->setSectionResizeMode(CAppTableModel::kColApp,
                                                          QHeaderView::Stretch);
    m_pAppTable->horizontalHeader()->setHighlightSections(false);
    for (const auto& [nColumn, szRoom] : {std::pair{CAppTableModel::kColSent, "99999.999"},
                                          {CAppTableModel::kColRecv, "Received (MiB)"},
                                          {CAppTableModel::kColSentRate, "1023.9 KiB/s"},
                                          {CAppTableModel::kColRecvRate, "1023.9 KiB/s"},
                                          {CAppTableModel::kColConnections, "Connections"}}) {
        m_pAppTable->setColumnWidth(nColumn,
                                    fontMetrics().horizontalAdvance(QLatin1String(szRoom)) + 24);
    }
    m_pTabs->addTab(m_pAppTable, QStringLiteral("&Applications"));
    // User-interface thread: the applications are kept current only while shown (hundreds of
    // rows formatted a second for nobody otherwise), and brought up to date when shown.
    connect(m_pTabs, &QTabWidget::currentChanged, this, [this] {
        if (m_pTabs->currentWidget() == m_pAppTable) {
            m_pAppModel->Update(m_sampler.GetLatest());
        }
    });
    pLayout->addWidget(m_pTabs);

    connect(&m_sampler, &CTimedSampler::Sampled, this, &CDetailsDlg::OnSampled);
    // Wide enough for every column with room for the state, a tunnel's overhead included.
    resize(960, 600);
    if (!geometry.isEmpty()) {
        restoreGeometry(geometry);
    }
}

void CDetailsDlg::SetTunnel(const std::string& strDevice, const std::string& strCarrier,
                            bool bForget) {
    if (bForget) {
        m_tunnels.erase(strDevice);
    } else {
        m_tunnels[strDevice] = strCarrier;
        // Captured: a tunnel to show its inner traffic, a device that is none to count.
        if (std::set<std::string> excluded = m_pModel->GetExcluded(); excluded.erase(strDevice)) {
            m_pModel->SetExcluded(excluded);
            m_source.SetExcludedDevices(excluded);
        }
    }
    m_source.SetTunnels(m_tunnels);
}

std::unique_ptr<QMenu> CDetailsDlg::CreateDeviceMenu(int nRow) {
    const std::string strDevice = m_pModel->GetDeviceName(nRow);
    if (strDevice.empty()) {
        return nullptr;
    }
    auto pMenu = std::make_unique<QMenu>(this);
    const auto itTunnel = m_tunnels.find(strDevice);
    QMenu* pOver = pMenu->addMenu(QStringLiteral("&Tunnel over"));
    pOver->setToolTipsVisible(true);
    pOver->setToolTip(QStringLiteral("Its traffic travels inside the packets of the device "
                                     "chosen (a VPN's tun device over the uplink), which count: "
                                     "it is shown, not added to the totals."));
    for (int nOther = 0; nOther < m_pModel->rowCount(); ++nOther) {
        const std::string strOther = m_pModel->GetDeviceName(nOther);
        if (strOther == strDevice) {
            continue;
        }
        QAction* pAction = pOver->addAction(QString::fromStdString(strOther));
        pAction->setCheckable(true);
        pAction->setChecked(itTunnel != m_tunnels.end() && itTunnel->second == strOther);
        connect(pAction, &QAction::triggered, this,
                [this, strDevice, strOther] { SetTunnel(strDevice, strOther); });
    }
    pMenu->setToolTipsVisible(true);
    QAction* pNone = pMenu->addAction(QStringLiteral("&Not a tunnel"));
    pNone->setToolTip(QStringLiteral("It counts as any device, whatever Orvek finds."));
    pNone->setCheckable(true);
    pNone->setChecked(itTunnel != m_tunnels.end() && itTunnel->second.empty());
    connect(pNone, &QAction::triggered, this, [this, strDevice] { SetTunnel(strDevice, ""); });
    QAction* pAutomatic = pMenu->addAction(QStringLiteral("&Automatic"));
    pAutomatic->setToolTip(QStringLiteral("A tun device is a tunnel when the program that holds "
                                          "it sends its packets over a connection of its own."));
    pAutomatic->setCheckable(true);
    pAutomatic->setChecked(itTunnel == m_tunnels.end());
    connect(pAutomatic, &QAction::triggered, this,
            [this, strDevice] { SetTunnel(strDevice, "", true); });
    return pMenu;
}

void CDetailsDlg::SetUnits(EByteUnits eUnits) {
    m_pModel->SetUnits(eUnits);
    m_pAppModel->SetUnits(eUnits);
    m_pGraph->SetUnits(eUnits);
}

void CDetailsDlg::AddTab(QWidget* pView, const QString& strTitle) {
    m_pTabs->addTab(pView, strTitle);
}

void CDetailsDlg::OnSampled() {
    if (!isVisible()) {
        return;
    }
    m_pModel->Update(m_sampler.GetLatest());
    if (m_pTabs->currentWidget() == m_pAppTable) {
        m_pAppModel->Update(m_sampler.GetLatest());
    }
    m_pMonitorNote->setVisible(!m_sampler.GetLatest().bMonitorUp);
    if (!m_bColumnsFitted && m_pModel->rowCount() > 0) {
        m_pTable->resizeColumnsToContents();
        // Numbers grow after the first show, and rates change width as they change unit: room
        // for the widest they usually get, so that they are not cut short later.
        using enum CDeviceTableModel::EColumn;
        for (const auto& [nColumn, szRoom] : {std::pair{kColSent, "99999.999"},
                                              {kColRecv, "99999.999"},
                                              {kColPackets, "999,999,999"},
                                              {kColDrops, "99,999"},
                                              {kColSentRate, "1023.9 KiB/s"},
                                              {kColRecvRate, "1023.9 KiB/s"}}) {
            m_pTable->setColumnWidth(
                nColumn, std::max(m_pTable->columnWidth(nColumn),
                                  fontMetrics().horizontalAdvance(QLatin1String(szRoom)) + 12));
        }
        m_bColumnsFitted = true;
    }
    if (m_pModel->rowCount() != m_nFittedRows) {
        FitTableToRows();
    }
}

void CDetailsDlg::FitTableToRows() {
    const QList<int> sizes = m_pSplitter->sizes();
    const int nTotal = sizes.value(0) + sizes.value(1);
    if (!m_pSplitter->isVisible() || nTotal <= 0) {
        return; // fitted when the tab is first laid out
    }
    const int nRow = m_pTable->verticalHeader()->defaultSectionSize();
    const int nFixed =
        2 * m_pTable->frameWidth() + m_pTable->horizontalHeader()->height() +
        (m_pTable->horizontalScrollBar()->isVisible() ? m_pTable->horizontalScrollBar()->height()
                                                      : 0);
    const int nRows = m_pModel->rowCount();
    const int nHeight =
        std::max(nFixed + 2 * nRow, std::min(nFixed + nRows * nRow, nTotal * 3 / 5));
    m_pSplitter->setSizes({nHeight, nTotal - nHeight});
    m_nFittedRows = nRows;
}

void CDetailsDlg::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    // Current at once, not a second later.
    OnSampled();
}

void CDetailsDlg::hideEvent(QHideEvent* pEvent) {
    emit GeometryToKeep(saveGeometry());
    QDialog::hideEvent(pEvent);
}

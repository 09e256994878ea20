#pragma once

#include "DetailsSource.h"
#include "Units.h"

#include <QByteArray>
#include <QDialog>

#include <map>
#include <memory>
#include <string>

class CAppTableModel;
class CDeviceTableModel;
class CRateGraph;
class CTimedSampler;
class QLabel;
class QMenu;
class QSplitter;
class QTabWidget;
class QTableView;

// The Details window: a table of every device (counted or not and why, totals, packets, drops,
// rates) and a graph of the total rates over the last ten minutes; a tab of the applications.
// Non-modal and resizable; it follows the sampler, so it redraws once a second whatever the packet
// rate.
class CDetailsDlg : public QDialog {
    Q_OBJECT

public:
    // The source and the sampler must outlive the window. A saved geometry, when valid, places
    // the window.
    CDetailsDlg(IDetailsSource& source, const CTimedSampler& sampler,
                const QByteArray& geometry = {}, QWidget* pParent = nullptr);

    QTableView* GetTable() const { return m_pTable; }
    CDeviceTableModel* GetModel() const { return m_pModel; }
    CRateGraph* GetGraph() const { return m_pGraph; }
    // The Devices tab: the table above, the graph below.
    QSplitter* GetSplitter() const { return m_pSplitter; }
    QTabWidget* GetTabs() const { return m_pTabs; }
    QTableView* GetAppTable() const { return m_pAppTable; }
    CAppTableModel* GetAppModel() const { return m_pAppModel; }
    // User-interface thread: the family of units of the devices, the graph and the applications.
    void SetUnits(EByteUnits eUnits);
    // Adds a view as a tab after the devices' (the window takes it over).
    void AddTab(QWidget* pView, const QString& strTitle);
    QLabel* GetMonitorNote() const { return m_pMonitorNote; }
    // User-interface thread, from the devices' context menu: the device is a tunnel over the
    // carrier (its traffic counts inside the carrier's packets: it is captured apart, in no
    // total), or with an empty carrier none, whatever Orvek finds (it counts); either admits it
    // if it was excluded. bForget leaves it to Orvek again.
    void SetTunnel(const std::string& strDevice, const std::string& strCarrier,
                   bool bForget = false);
    // The devices' context menu for a row, as the table shows it on a right click.
    std::unique_ptr<QMenu> CreateDeviceMenu(int nRow);

signals:
    // User-interface thread, when the window hides (closed by the user or with the main window):
    // where it was, for the next time. Receivers must not block.
    void GeometryToKeep(const QByteArray& geometry);

protected:
    // User-interface thread: a window being shown is brought up to date at once.
    void showEvent(QShowEvent* pEvent) override;
    // User-interface thread: hands the geometry out to be kept; must not block.
    void hideEvent(QHideEvent* pEvent) override;

private:
    // User-interface thread: shows the sampler's latest sample while the window is visible.
    void OnSampled();
    // User-interface thread: the table as high as its rows, between two rows and three fifths
    // of the tab, the graph the rest; again only when the rows' count changes, so that a
    // divider the user moved stays.
    void FitTableToRows();

    IDetailsSource& m_source;
    const CTimedSampler& m_sampler;
    CDeviceTableModel* m_pModel = nullptr;
    QTableView* m_pTable = nullptr;
    CRateGraph* m_pGraph = nullptr;
    QSplitter* m_pSplitter = nullptr;
    int m_nFittedRows = -1; // the rows' count the splitter was last fitted to
    QTabWidget* m_pTabs = nullptr;
    CAppTableModel* m_pAppModel = nullptr;
    QTableView* m_pAppTable = nullptr;
    QLabel* m_pMonitorNote = nullptr; // shown while the monitor is down
    bool m_bColumnsFitted = false;
    std::map<std::string, std::string> m_tunnels; // as the source keeps them
};

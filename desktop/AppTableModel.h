#pragma once

#include "TrafficSampler.h"
#include "Units.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QIcon>
#include <QString>

#include <array>
#include <map>
#include <string>
#include <vector>

// The Details window's Applications table: one row per application of the latest sample, largest
// first, then one row per reason bytes are not attributed, in grey italics. Its rows add up to
// the totals. A desktop application, or a program of the user's, with a desktop entry shows the
// entry's name and icon (looked up once per id, on the user-interface thread); other
// applications a generic icon. A refresh formats only the numbers that changed and tells the view
// only of the cells whose text changed, so that it repaints those alone.
class CAppTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum EColumn {
        kColApp,
        kColSent,
        kColRecv,
        kColSentRate,
        kColRecvRate,
        kColConnections,
        kColumnCount
    };

    explicit CAppTableModel(QObject* pParent = nullptr);

    // User-interface thread: shows a sample's applications.
    void Update(const TrafficSample& sample);
    // User-interface thread: the family of units the sizes and rates are shown in, headers too.
    void SetUnits(EByteUnits eUnits);
    EByteUnits GetUnits() const { return m_eUnits; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation eOrientation,
                        int nRole = Qt::DisplayRole) const override;

private:
    // How a row's application is shown.
    struct Shown {
        QString strName, strTip;
        QIcon icon;
    };
    const Shown& ShownOf(const AppUsage& app);

    // A row as shown: the sample's row, how its application is shown and the texts of its cells.
    struct Row {
        AppSample sample;
        const Shown* pShown = nullptr; // an entry of m_shown
        std::array<QString, kColumnCount> texts;
    };
    // Sets row's texts from sample where they differ; returns the first and last column whose
    // text changed (-1, -1: none). bAll: every text afresh (a new row, whose look it finds).
    std::pair<int, int> Assign(Row& row, const AppSample& sample, bool bAll);

    std::vector<Row> m_rows;
    QFont m_fontReason; // italics, for the rows of bytes not attributed
    // By kind and name; kept while the model lives, as ids name the same entry all along, and
    // bounded: emptied (and every row's look found again) when it grows too large.
    std::map<std::pair<uint32_t, std::string>, Shown> m_shown;
    QIcon m_genericIcon; // for applications without an icon of their own
    std::vector<std::string> m_vecDataDirs;
    std::string m_strLocale;
    EByteUnits m_eUnits = EByteUnits::Binary;
};

// An editable drop-down combo box that keeps its list sorted.
#pragma once

#include <QComboBox>

namespace platform {

// Items are ordered as text without regard to case (digits before letters, as in ASCII);
// typing in the edit field never adds an item.
class SortedComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit SortedComboBox(QWidget *parent = nullptr);

    // Inserts `text` at its sorted place and returns its index.
    int addSortedItem(const QString &text);
};

} // namespace platform

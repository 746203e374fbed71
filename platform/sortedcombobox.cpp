#include "sortedcombobox.h"

#include <QLineEdit>

namespace platform {

SortedComboBox::SortedComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // The edit field must not complete a typed "0x5" to "0x55" behind the operator's back.
    setCompleter(nullptr);
}

int SortedComboBox::addSortedItem(const QString &text)
{
    int index = 0;
    // Equal texts keep their insertion order: the new one goes after them.
    while (index < count() && itemText(index).compare(text, Qt::CaseInsensitive) <= 0)
        ++index;
    insertItem(index, text);
    return index;
}

} // namespace platform

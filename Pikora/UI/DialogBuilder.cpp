#include "Pikora/UI/DialogBuilder.h"

void DialogBuilder::addOption(const QString& option, Dialog::OptionAction block)
{
    m_buttons.append(option);
    m_options.insert(option, [block = std::move(block)](const QString& caption) {
        if (block)
            block(caption);
    });
}

void DialogBuilder::clearOptions()
{
    m_options.clear();
    m_buttons.clear();
}

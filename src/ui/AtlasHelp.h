// TAtlasHelpFM: the user guide, shown modally from the main window's help button.
#pragma once

#include <QDialog>

class QPushButton;
class QTextBrowser;

class TAtlasHelpFM : public QDialog {
public:
    explicit TAtlasHelpFM(QWidget* parent = nullptr);

    // The guide's text, one paragraph a line.
    static QString HelpText();

    QTextBrowser* RichEdit1;
    QPushButton* BitBtn1;

protected:
    void showEvent(QShowEvent* e) override;
};

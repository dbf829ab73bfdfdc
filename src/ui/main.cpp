// Program start-up: the application, the five windows (each created once, in
// this order) and the message loop. Only the main window is shown; closing it
// ends the program.
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <memory>

#include "AtlasApplication.h"
#include "AtlasCheckData.h"
#include "AtlasDownLoad.h"
#include "AtlasHelp.h"
#include "AtlasOffLineMain.h"
#include "AtlasSetup.h"
#include "AtlasThread.h"
#include "AtlasVersion.h"

int main(int argc, char** argv) {
    // Answered before anything needs a display, so scripts and packagers can ask.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("atlaspocket %s\n", AtlasVersion);
            return 0;
        }
    // Before any worker thread exists: curl's global set-up is not thread-safe.
    if (!InitDownloads()) return 1;
    int status = 0;
    {
        TAtlasApplication app(argc, argv);
        // The program speaks Chinese; Qt's own dialogs (file dialogs, message box buttons) follow.
        QTranslator qtTexts;
        if (qtTexts.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            app.installTranslator(&qtTexts);
        // Destroyed in reverse order; the main window, whose view owns the
        // download workers, goes last of all.
        auto mainForm = std::make_unique<TAtlasOffLineMainFM>();
        auto helpForm = std::make_unique<TAtlasHelpFM>(mainForm.get());
        auto setupForm = std::make_unique<TAtlasSetupFM>(mainForm->Settings(), mainForm.get());
        auto downLoadForm = std::make_unique<TAtlasDownLoadFM>(mainForm.get());
        auto checkDataForm = std::make_unique<TAtlasCheckDataFM>(mainForm.get());
        mainForm->SetWindows({helpForm.get(), setupForm.get(), downLoadForm.get(), checkDataForm.get()});
        mainForm->show();
        status = app.exec();
    }
    return status;
}

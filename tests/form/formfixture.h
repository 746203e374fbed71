// A shown control form on the fake adapter, with message boxes recorded and its own current
// directory for setup.ini.
#pragma once

#include "adapterlink.h"
#include "dovraxdlg.h"
#include "fakeadapter.h"
#include "messagebox.h"
#include "messagelist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

class FormFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        fake::reset(true);
        previousDir_ = QDir::currentPath();
        ASSERT_TRUE(dir_.isValid());
        QDir::setCurrent(dir_.path());
        // setup.ini is looked for in the configuration folder too: one of this test's own.
        previousConfig_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configDir()));
        platform::setMessageBoxHook([this](const platform::MessageBoxCall &call) {
            boxes.push_back(call);
            // A box waits for the operator: nothing may happen behind it meanwhile.
            boxLogCounts.push_back(form ? form->messageList()->count() : -1);
        });
    }

    void TearDown() override
    {
        form.reset();
        link.reset();
        platform::setMessageBoxHook({});
        QDir::setCurrent(previousDir_);
        qputenv("XDG_CONFIG_HOME", previousConfig_);
    }

    QString configDir() const { return dir_.filePath(QStringLiteral("config")); }

    void writeSetupIni(const QByteArray &content)
    {
        QFile file(dir_.filePath(QStringLiteral("setup.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    // Makes the form and runs its first show; `api` null stands for a library that failed.
    void makeForm(const mulvo::Api *api = &fake::api(), const QString &loadError = QString())
    {
        makeForm(api ? std::make_unique<AdapterLink>(*api, QStringLiteral("fake"))
                     : std::make_unique<AdapterLink>(nullptr, loadError));
    }
    void makeForm(std::unique_ptr<AdapterLink> adapterLink)
    {
        form.reset();
        link = std::move(adapterLink);
        form = std::make_unique<CDovraxDlg>(*link);
        form->show();
        form->onInitialUpdate();
    }

    QStringList logLines() const
    {
        QStringList lines;
        for (int i = 0; i < form->messageList()->count(); ++i)
            lines << form->messageList()->line(i);
        return lines;
    }

    template <class T = QWidget> T *control(int id) const
    {
        return static_cast<T *>(platform::controlById(form.get(), id));
    }

    std::unique_ptr<AdapterLink> link;
    std::unique_ptr<CDovraxDlg> form;
    std::vector<platform::MessageBoxCall> boxes;
    std::vector<int> boxLogCounts;

private:
    QTemporaryDir dir_;
    QString previousDir_;
    QByteArray previousConfig_;
};

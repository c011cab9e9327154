#include "mainwindow.h"

#include "stylesheet.h"

#include <QAbstractItemView>
#include <QAction>
#include <QMenu>
#include <QPushButton>

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    ui.setupUi(this);
    applyLightPalette();
    applyStyleSheet();

    blockMenu = new QMenu(this);
    actionSaveAs = new QAction(tr("Save as..."), this);
    connect(actionSaveAs, &QAction::triggered, this, &MainWindow::slotClickSaveBlock);
    blockMenu->addAction(actionSaveAs);
    blockMenu->addSeparator();
    actionReplaceWith = new QAction(tr("Replace with..."), this);
    connect(actionReplaceWith, &QAction::triggered, this, &MainWindow::slotClickSaveBin);
    blockMenu->addAction(actionReplaceWith);

    browsePath = QStringLiteral("/*.bin");

    ui.LEBinFile->setAcceptDrops(true);
    ui.LEBinFile->installEventFilter(this);
    installEventFilter(this);
    ui.tableView->installEventFilter(this);
    ui.tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    ui.tableView->setContextMenuPolicy(Qt::NoContextMenu);
    connect(ui.BtnBrowseFlash, &QPushButton::clicked, this, &MainWindow::slotBrowseFlash);
}

MainWindow::~MainWindow()
{
    // The menu and its actions go before the image; the widgets go last, with the base class.
    delete actionReplaceWith;
    delete actionSaveAs;
    delete blockMenu;
    // The table's model has no parent (the table does not own it), so it would outlive the window.
    delete ui.tableView->model();
}

# Input context: panel switching, key events, press-and-hold, password keys.
set(CONTEXT_TEST_LIBS keyboard installerui installer settingsdb InstallerShared
    Qt${QT_VERSION_MAJOR}::Widgets Qt${QT_VERSION_MAJOR}::Sql)

# The prompt's database is written by the integrators' own password tool.
zentavo_add_test(tst_inputpanelcontext
    SOURCES tst_inputpanelcontext.cpp contexttestsupport.h
    LIBS ${CONTEXT_TEST_LIBS} passwordwriter
    LABELS keyboard)

# Its own process: it ends the application's event loop with the keyboard up.
zentavo_add_test(tst_inputpanelcontextteardown
    SOURCES tst_inputpanelcontextteardown.cpp contexttestsupport.h
    LIBS ${CONTEXT_TEST_LIBS}
    LABELS keyboard)

import helpers


def pytest_addoption(parser):
    parser.addoption(
        "--full",
        action="store_true",
        help="run the expensive cases at full size: a million nesting levels, 400 model examples (CI does)",
    )


def pytest_configure(config):
    helpers.FULL = config.getoption("--full")  # before the test modules are imported

# Read by cpack before each generator. CPack 3.25's RPM generator tells
# whether rpmbuild takes weak dependencies by running RPM_EXECUTABLE, which
# it never sets, and without it leaves out zerobench-stats' Suggests.
find_program(RPM_EXECUTABLE rpm)

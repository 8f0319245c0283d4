      * SPDX-License-Identifier: MIT
       IDENTIFICATION DIVISION.
       PROGRAM-ID. XELTOUR.
      *================================================================
      * A tour of the terminal API from COBOL: connect to a terminal,
      * read its type and version, set its clock to the host's time,
      * upload one of its files and disconnect, checking the return
      * code of every call. The exit status is the failing code.
      *
      * Usage: xeltour [TERMINAL [TERMINAL-FILE [HOST-FILE]]]
      *        (defaults HALLE1, BOOK, book.dat)
      *
      * Calls bound when linking, to the shared library or into the
      * program:
      *   cobc -x -fstatic-call xeltour.cob -I DIR-OF-XELBDE.cpy -lxelbde
      *   cobc -x -fstatic-call xeltour.cob -I DIR-OF-XELBDE.cpy
      *        LIBDIR/libxelbde.a -lstdc++
      * Calls resolved at run time:
      *   cobc -x xeltour.cob -I DIR-OF-XELBDE.cpy
      *   COB_PRE_LOAD=libxelbde.so.1 ./xeltour
      * Try it against a simulated terminal, in the source tree:
      *   make examples   (examples/run.sh BUILD_DIR cobol: this one)
      *================================================================
       DATA DIVISION.
       WORKING-STORAGE SECTION.
       COPY "XELBDE.cpy".
       01  WS-ARGUMENTS             PIC 9(4) COMP-5.
       01  WS-ARGUMENT              PIC X(259).
       01  WS-TERMINAL-FILE         PIC X(8) VALUE "BOOK".
       01  WS-HOST-FILE             PIC X(259) VALUE "book.dat".
       01  WS-STEP                  PIC X(8).
       01  WS-CONNECTED             PIC X VALUE "N".
       01  WS-CODE                  PIC 99.

       PROCEDURE DIVISION.
       MAIN-LINE.
           MOVE "HALLE1" TO XEL-TERMINAL
           ACCEPT WS-ARGUMENTS FROM ARGUMENT-NUMBER
           IF WS-ARGUMENTS >= 1
               ACCEPT XEL-TERMINAL FROM ARGUMENT-VALUE
           END-IF
           IF WS-ARGUMENTS >= 2
               ACCEPT WS-TERMINAL-FILE FROM ARGUMENT-VALUE
           END-IF
           IF WS-ARGUMENTS >= 3
               ACCEPT WS-HOST-FILE FROM ARGUMENT-VALUE
           END-IF

      *    Connect; the type area is optional: OMITTED.
           CALL "APALC00B" USING XEL-TERMINAL OMITTED XEL-RC
                RETURNING NOTHING
           MOVE "APALC00B" TO WS-STEP
           PERFORM CHECK-RC
           MOVE "Y" TO WS-CONNECTED

           CALL "APTYP01B" USING XEL-TERMINAL XEL-TYPE XEL-RC
                RETURNING NOTHING
           MOVE "APTYP01B" TO WS-STEP
           PERFORM CHECK-RC
           INSPECT XEL-TYPE REPLACING ALL X"00" BY SPACE
           DISPLAY "type: " FUNCTION TRIM(XEL-TYPE)

      *    The length of the version area goes BY VALUE.
           CALL "APDMTVER" USING XEL-TERMINAL XEL-VERSION
                BY VALUE XEL-VERSION-LENGTH
                BY REFERENCE XEL-RC
                RETURNING NOTHING
           MOVE "APDMTVER" TO WS-STEP
           PERFORM CHECK-RC
           INSPECT XEL-VERSION REPLACING ALL X"00" BY SPACE
           DISPLAY "version: " FUNCTION TRIM(XEL-VERSION)

      *    XEL-SET-TIME holds "*SYSVAL     ": the host's local time.
           CALL "APSCL00B" USING XEL-TERMINAL XEL-SET-TIME
                XEL-TIME-FORMAT XEL-RC
                RETURNING NOTHING
           MOVE "APSCL00B" TO WS-STEP
           PERFORM CHECK-RC
           DISPLAY "clock set to the host's time"

      *    Both file names end with X"00"; "0" keeps the terminal's file.
           MOVE SPACES TO XEL-HOST-FILE XEL-TERMINAL-FILE
           STRING WS-HOST-FILE DELIMITED BY SPACE
                  X"00" DELIMITED BY SIZE INTO XEL-HOST-FILE
           STRING WS-TERMINAL-FILE DELIMITED BY SPACE
                  X"00" DELIMITED BY SIZE INTO XEL-TERMINAL-FILE
           MOVE "0" TO XEL-FLAG
           CALL "APUPL00B" USING XEL-TERMINAL XEL-HOST-FILE
                XEL-TERMINAL-FILE XEL-FLAG XEL-RC
                RETURNING NOTHING
           MOVE "APUPL00B" TO WS-STEP
           PERFORM CHECK-RC
           DISPLAY "uploaded " FUNCTION TRIM(WS-TERMINAL-FILE)
                   " into " FUNCTION TRIM(WS-HOST-FILE)

           CALL "APDLC00B" USING XEL-TERMINAL OMITTED XEL-RC
                RETURNING NOTHING
           MOVE "N" TO WS-CONNECTED
           MOVE "APDLC00B" TO WS-STEP
           PERFORM CHECK-RC
      *    RETURN-CODE is still 0: no CALL has touched it.
           STOP RUN.

      * Shows the code of the last call; any code but "00" ends the
      * program (after disconnecting) with that code as exit status.
       CHECK-RC.
           DISPLAY WS-STEP ": " XEL-RC
           IF NOT XEL-OK
               MOVE XEL-RC TO WS-CODE
               IF WS-CONNECTED = "Y"
                   CALL "APDLC00B" USING XEL-TERMINAL OMITTED XEL-RC
                        RETURNING NOTHING
               ELSE
                   DISPLAY "xeltour: terminal "
                           FUNCTION TRIM(XEL-TERMINAL)
                           " not reached. Give its address, or"
                           " name it in terminal.ini (in the"
                           " directory TERMINI names, else the"
                           " current one)." UPON SYSERR
                   DISPLAY "To try this program against a"
                           " simulated terminal, run `make"
                           " examples` in the source tree."
                           UPON SYSERR
               END-IF
               MOVE WS-CODE TO RETURN-CODE
               STOP RUN
           END-IF.

"""Recording one movie with many workers: the frames are split into
contiguous runs, each run is recorded by a worker as a movie of its own (a
segment, which starts with a key frame as every recording does), and
``avirec --join`` puts the segments together in order without encoding them
again.

    avirec.record_parallel("out.avi", draw, 300, fps=25, codec="ffv1")
    avirec.save_parallel(make_figure, update, 300, "out.avi", fps=25, codec="ffv1")

The workers are processes on this machine, or those of any
``concurrent.futures.Executor`` (a Dask cluster's among them). What happens,
in order: the runs are planned; each worker records its run into a folder of
segments made for this movie; the parent checks that the runs agree in size
and joins the segments into the movie; the folder goes in every case. A
failure anywhere stops the other workers after the frame they are on and
leaves no output and no segment behind; a movie already at the path is
replaced only by a complete new one.
"""

import collections
import concurrent.futures
import multiprocessing
import multiprocessing.connection
import numbers
import os
import pickle
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

from . import AvirecError, Writer, require_avirec

__all__ = ["record_parallel", "save_parallel"]

# Inside the folder of segments: the file whose presence tells the workers
# to stop, and the name of each run's segment.
_STOP = "stop"
_SEGMENT = "segment-%04d.avi"

# A worker's message is cut to this many characters, so that it always fits
# the pipe it goes back through at once.
_MESSAGE_LIMIT = 16000


def record_parallel(path, draw, frames, fps=25, codec=None, workers=None, executor=None, *,
                    segments=None, name=None, overwrite=True, pixel_format=None, avirec=None):
    """Records the movie at `path` whose frame i is ``draw(i)``, the frames
    drawn by several workers at once.

    draw          a function of one frame's value that returns the frame, as
                  Writer.write takes it (H x W x 3 RGB or H x W grey uint8, or
                  pixel_format's layout); it is called once for each frame, in
                  any order, in the workers' processes, and must not depend on
                  the frames drawn before
    frames        the number of frames (values 0 to N-1), or the values
                  themselves (any iterable, each given to draw)
    fps, codec, name, pixel_format, avirec   as for Writer; name is the stream's
    workers       how many runs the frames are split into, one a worker; None:
                  the machine's processors for the default workers, else the
                  executor's workers where it tells them (concurrent.futures'
                  pools, a Dask client's executor) or the machine's processors
    executor      None: a process of this machine for each run, started with
                  fork where the system has it safely (Linux), so that draw may
                  be any function, a lambda or a closure included; elsewhere
                  spawned, and draw must then be picklable. Or any
                  concurrent.futures.Executor, to which draw is sent pickled:
                  a Dask cluster's, distributed.Client(...).get_executor(), for
                  many machines (cloudpickle takes lambdas)
    segments      the folder in which a folder of segments is made for this
                  movie, by the same path on every worker (for a cluster, a
                  shared file system); None: the movie's folder
    overwrite     replace a movie already at path (True), or raise (False)

    Raises AvirecError when a frame cannot be drawn or recorded (a draw that
    raises, a frame of another size, a worker that dies), naming the frame
    (its number in the ``frame`` attribute); then no movie is written, no
    segment is left, and a file already at path is as it was. The segments
    need about the movie's size on disk beside it until they are joined.
    """
    job = _DrawJob(draw, fps, codec, name, pixel_format, avirec)
    return _record(path, job, frames, workers, executor, segments, overwrite, avirec)


def save_parallel(make_figure, update, frames, path, fps=5, codec=None, workers=None,
                  executor=None, *, dpi=None, savefig_kwargs=None, name=None, segments=None,
                  overwrite=True, avirec=None):
    """Saves the matplotlib animation whose frame i is ``update(fig, i)`` on a
    figure from ``make_figure()``, the frames drawn by several workers at
    once: the movie that ``FuncAnimation(fig, lambda i: update(fig, i),
    frames).save(path, writer="avirec", fps=fps, codec=codec, dpi=dpi,
    savefig_kwargs=savefig_kwargs)`` writes, pixel for pixel with a lossless
    codec.

    make_figure   a function of no arguments that returns a new Figure; each
                  worker calls it once and draws its frames on that figure
    update        a function of the figure and a frame's value that draws that
                  frame; it must not depend on the frames drawn before
    frames        the number of frames, or their values (as FuncAnimation's)
    fps           frames per second (5: FuncAnimation's default interval)
    dpi, savefig_kwargs   as for Animation.save (dpi None: savefig.dpi)
    name          the stream's name (Animation.save's metadata title)

    Saved frames are rendered by Agg whatever the backend; a program with a
    window on screen gives the workers a figure without one (make_figure
    returning matplotlib.figure.Figure(...)) or runs with MPLBACKEND=Agg.
    workers, executor, segments, overwrite, avirec, the failures and what
    they leave: as for record_parallel.
    """
    job = _FigureJob(make_figure, update, fps, codec, name, dpi, savefig_kwargs, avirec)
    return _record(path, job, frames, workers, executor, segments, overwrite, avirec)


# -- the plan -------------------------------------------------------------------

class _Run(collections.namedtuple("_Run", "number first values")):
    """One worker's share: the run's number, the movie's number of its first
    frame, and its frames' values."""

    @property
    def last(self):
        return self.first + len(self.values) - 1

    def numbered(self):
        return enumerate(self.values, self.first)

    def describe(self):
        if len(self.values) == 1:
            return "frame %d" % self.first
        return "frames %d to %d" % (self.first, self.last)


def _frame_name(number, value):
    """A frame as the user knows it: its number, and its value where that differs."""
    if type(value) is int and value == number:
        return "frame %d" % number
    text = repr(value)
    return "frame %d (%s)" % (number, text if len(text) <= 40 else text[:37] + "...")


def _frame_values(frames):
    if isinstance(frames, numbers.Integral) and not isinstance(frames, bool):
        if frames < 1:
            raise ValueError("frames must be at least 1, got %d" % frames)
        return range(int(frames))
    try:
        values = list(frames)
    except TypeError:
        raise TypeError("frames must be a number of frames or an iterable of frame values, "
                        "got %r" % (frames,)) from None
    if not values:
        raise ValueError("frames holds no frame")
    return values


def _worker_count(workers, executor):
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError("workers must be a whole number of at least 1, got %r" % (workers,))
        return workers
    if executor is not None:
        count = getattr(executor, "_max_workers", None)  # concurrent.futures' pools
        client = getattr(executor, "_client", None)      # a Dask client's executor
        if count is None and client is not None and hasattr(client, "nthreads"):
            count = sum(client.nthreads().values())
        if count:
            return count
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _split(values, count):
    """count contiguous runs of values, their lengths apart by at most one."""
    count = min(count, len(values))
    runs, first = [], 0
    for number in range(count):
        length = len(values) // count + (number < len(values) % count)
        runs.append(_Run(number, first, values[first:first + length]))
        first += length
    return runs


# -- the parent -------------------------------------------------------------------

def _record(path, job, frames, workers, executor, segments, overwrite, avirec):
    values = _frame_values(frames)
    program = require_avirec(avirec)
    target = os.path.realpath(os.fspath(path))
    if os.path.isdir(target):
        raise AvirecError("%s is a folder, not a movie file" % path)
    if not overwrite and os.path.lexists(target):
        raise AvirecError("%s exists, and overwrite=False says never to overwrite it" % path)
    runs = _split(values, _worker_count(workers, executor))
    # Absolute: the workers may run in other folders, or on other machines.
    parent = os.path.abspath(segments) if segments is not None else os.path.dirname(target)
    try:
        folder = tempfile.mkdtemp(prefix=os.path.basename(target) + ".segments-", dir=parent)
    except OSError as error:
        raise AvirecError("cannot make the folder of segments in %s: %s"
                          % (parent, error.strerror or error)) from None
    try:
        if executor is None:
            outcomes = _record_in_processes(job, runs, folder)
        else:
            outcomes = _record_with_executor(executor, job, runs, folder)
        _check_outcomes(runs, outcomes)
        _join(program, [os.path.join(folder, _SEGMENT % run.number) for run in runs], path,
              overwrite)
    finally:
        _remove_folder(folder)


def _record_in_processes(job, runs, folder):
    """Each run recorded by a process of its own; each run's outcome, once
    all have ended. A process that dies is told apart from one that failed,
    and the frame it was on is known from the shared progress."""
    context = multiprocessing.get_context("fork" if sys.platform.startswith("linux") else None)
    progress = context.RawArray("q", [run.first for run in runs])
    workers = []
    try:
        for run in runs:
            receive, send = context.Pipe(duplex=False)
            process = context.Process(target=_process_main, name="avirec run %d" % run.number,
                                      args=(job, run, folder, progress, send))
            try:
                process.start()
            except (pickle.PicklingError, AttributeError, TypeError) as error:
                raise TypeError("workers started with %s take only functions and frame values "
                                "that pickle: %s" % (context.get_start_method(), error)) from error
            finally:
                send.close()
            workers.append((run, process, receive))
        outcomes = {}
        while len(outcomes) < len(workers):
            ended = multiprocessing.connection.wait(
                [process.sentinel for run, process, _ in workers if run.number not in outcomes])
            for run, process, receive in workers:
                if process.sentinel in ended:
                    process.join()
                    outcome = _received(receive)
                    if outcome is None:
                        outcome = _died(run, process, progress)
                    outcomes[run.number] = outcome
                    if isinstance(outcome, AvirecError):
                        _stop(folder)
    except BaseException:
        _stop(folder)
        raise
    finally:
        _wait_for_processes([process for _, process, _ in workers])
    return [outcomes[run.number] for run in runs]


def _received(receive):
    """What a worker process sent back: its run's outcome, the failure as an
    AvirecError with the worker's traceback as its cause; None when it sent
    nothing."""
    try:
        if not receive.poll():
            return None
        kind, *details = receive.recv()
    except (EOFError, OSError):
        return None
    if kind == "done":
        return details[0]
    message, frame, run_size, text = details
    failure = AvirecError(message)
    failure.frame = frame
    if run_size is not None:
        failure.run_size = run_size
    failure.__cause__ = _WorkerTraceback(text)
    return failure


def _died(run, process, progress):
    code = process.exitcode
    if code is not None and code < 0:
        try:
            how = "was killed by %s" % signal.Signals(-code).name
        except ValueError:
            how = "was killed by signal %d" % -code
    else:
        how = "exited with status %s" % code
    frame = progress[run.number]
    error = AvirecError("%s was not recorded: the worker recording %s %s"
                        % (_frame_name(frame, run.values[frame - run.first]), run.describe(), how))
    error.frame = frame
    return error


def _wait_for_processes(processes):
    """Waits for the workers to end (told to stop, they do after their
    frame); a second Ctrl-C ends them at once."""
    try:
        for process in processes:
            process.join()
    except KeyboardInterrupt:
        for process in processes:
            if process.is_alive():
                process.terminate()
        for process in processes:
            process.join()
        raise


def _record_with_executor(executor, job, runs, folder):
    """Each run recorded through the executor; each run's outcome, once
    every run has ended. The first failure tells the others to stop."""
    submit, wait = _driving(executor)
    submitted = []
    try:
        for run in runs:
            submitted.append((run, submit(_record_run, job, run, folder)))
        pending = [future for _, future in submitted]
        while pending:
            done, pending = wait(pending, first=True)
            if any(not future.cancelled() and future.exception() is not None
                   for future in done):
                break
        if pending:
            _stop(folder)
            for future in pending:
                future.cancel()
            wait(pending, first=False)
    except BaseException as error:
        _stop(folder)
        for _, future in submitted:
            future.cancel()
        wait([future for _, future in submitted], first=False)
        if isinstance(error, Exception) and len(submitted) < len(runs):
            raise _executor_failure([runs[len(submitted)]], error) from error
        raise
    outcomes = []
    broken = [run for run, future in submitted if not future.cancelled() and
              isinstance(future.exception(), concurrent.futures.BrokenExecutor)]
    for run, future in submitted:
        error = None if future.cancelled() else future.exception()
        if future.cancelled():
            outcomes.append(_Ended(None, False))
        elif error is None:
            outcomes.append(future.result())
        elif isinstance(error, AvirecError):
            outcomes.append(error)
        elif run in broken:
            # A pool that lost a worker fails every run it had, and does
            # not say whose worker it was.
            outcomes.append(_executor_failure(broken, error, "a worker of the pool died while "
                                              "recording %s"))
        else:
            outcomes.append(_executor_failure([run], error))
    return outcomes


def _driving(executor):
    """How to submit to the executor, and to wait for the first or all of its
    futures. A Dask client's executor is driven through its client: when a
    worker dies, the executor's own futures can be left waiting for ever,
    the client's come back (computed again, or with the worker's death)."""
    client = getattr(executor, "_client", None)
    if client is not None and type(executor).__module__.startswith("distributed"):
        import distributed

        def submit(function, *args):
            return client.submit(function, *args, pure=False)

        def wait(futures, first):
            # distributed's wait raises as soon as one of the futures is
            # cancelled (as the others are once a run has failed, and as the
            # scheduler may do itself): a cancelled future counts as ended.
            futures = list(futures)
            while True:
                ended = {future for future in futures if future.cancelled()}
                live = [future for future in futures if not future.cancelled()]
                if not live or (first and ended):
                    done = {future for future in live if future.done()}
                    return ended | done, set(live) - done
                try:
                    done, pending = distributed.wait(
                        live, return_when="FIRST_COMPLETED" if first else "ALL_COMPLETED")
                except concurrent.futures.CancelledError:
                    continue
                return ended | set(done), set(pending)
    else:
        submit = executor.submit

        def wait(futures, first):
            return concurrent.futures.wait(futures, return_when="FIRST_COMPLETED" if first
                                           else "ALL_COMPLETED")
    return submit, wait


def _executor_failure(runs, error, what="%s were not recorded: the worker failed"):
    hint = ("; this executor takes only functions that pickle"
            if "pickle" in str(error).lower() else "")
    failure = AvirecError("%s (%s: %s)%s" % (what % ", ".join(run.describe() for run in runs),
                                             type(error).__name__, error, hint))
    failure.frame = runs[0].first
    failure.__cause__ = error
    return failure


def _check_outcomes(runs, outcomes):
    """Raises the failure of the earliest frame, or a run whose frames are
    not of the first run's size. A run found to hold two sizes is told
    against the movie's, the size of the first frame, where that is known."""
    sizes = [getattr(outcome, "run_size", None) for outcome in outcomes]
    movie_size = sizes[0]
    failures = []
    for run, outcome, size in zip(runs, outcomes, sizes):
        if movie_size is not None and size is not None and tuple(size) != tuple(movie_size):
            outcome = AvirecError("%s is %dx%d, but frame %d is %dx%d"
                                  % (_frame_name(run.first, run.values[0]), size[0], size[1],
                                     runs[0].first, movie_size[0], movie_size[1]))
            outcome.frame = run.first
        if isinstance(outcome, AvirecError):
            failures.append(outcome)
    if failures:
        raise min(failures, key=lambda failure: getattr(failure, "frame", 0))
    if not all(outcome.complete for outcome in outcomes):
        raise AvirecError("the recording was stopped before every frame was recorded")


def _stop(folder):
    try:
        with open(os.path.join(folder, _STOP), "w"):
            pass
    except OSError:
        pass


def _join(program, segments, path, overwrite):
    """avirec --join writes the movie beside path and renames it to path only
    once it is complete: a movie already there is replaced by a whole one or
    left as it was."""
    done = subprocess.run([program, "-y" if overwrite else "-n", "-q", "--join",
                           os.path.abspath(path)] + segments,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        reason = done.stderr.decode("utf-8", "replace").strip()
        raise AvirecError("the segments could not be joined into %s (exit status %d)%s"
                          % (path, done.returncode, ": " + reason if reason else ""))


def _remove_folder(folder):
    # A worker that was killed leaves its avirec finishing a segment; it
    # writes only into its open file, so the folder can go at once.
    for _ in range(3):
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.lexists(folder):
            return


# -- the workers ------------------------------------------------------------------

class _WorkerTraceback(Exception):
    """The traceback of a failure in a worker process, shown as its cause."""

    def __str__(self):
        return '\n"""\n%s"""' % self.args[0]


class _Stopped(Exception):
    """The parent asked the workers to stop."""


class _Ended(collections.namedtuple("_Ended", "run_size complete")):
    """How a run ended without failing: the size of its frames (None before
    the first), and whether it recorded all of them (else it was stopped)."""


_progress = None  # in a worker process: the shared progress and this run's slot


def _process_main(job, run, folder, progress, send):
    """A worker process of the default pool: records its run, sends back the
    frame size or the failure, and ends."""
    # Ctrl-C on a terminal reaches every process of the group; the parent
    # then stops the workers after their frame.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    global _progress
    _progress = (progress, run.number)
    try:
        outcome = ("done", _record_run(job, run, folder))
    except BaseException as error:  # noqa: BLE001  (everything goes back to the parent)
        if isinstance(error, AvirecError):
            message = str(error)
        else:
            message = "%s were not recorded: %s: %s" % (run.describe(), type(error).__name__,
                                                       error)
        text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        outcome = ("failed", message[:_MESSAGE_LIMIT], getattr(error, "frame", run.first),
                   getattr(error, "run_size", None), text[-_MESSAGE_LIMIT:])
    send.send(outcome)
    send.close()


def _record_run(job, run, folder):
    """In a worker: records one run as its segment; how it ended, or raises
    AvirecError. The first run draws its first frame even when told to stop,
    for the size of the movie."""
    stop = os.path.join(folder, _STOP)
    size = []

    def before_frame(number):
        if os.path.exists(stop) and (run.number != 0 or number != run.first):
            raise _Stopped
        if _progress is not None:
            _progress[0][_progress[1]] = number

    try:
        job.record(os.path.join(folder, _SEGMENT % run.number), run, before_frame, size.append)
    except _Stopped:
        return _Ended(size[0] if size else None, False)
    except AvirecError as error:
        if size:
            error.run_size = size[0]
        raise
    return _Ended(size[0], True)


def _frame_failure(number, value, what, error):
    failure = AvirecError("%s %s: %s%s" % (_frame_name(number, value), what,
                                           "" if isinstance(error, AvirecError)
                                           else type(error).__name__ + ": ", error))
    failure.frame = number
    return failure


class _DrawJob:
    """record_parallel's work: draw(value) for each frame of the run, into a Writer."""

    def __init__(self, draw, fps, codec, name, pixel_format, avirec):
        if not callable(draw):
            raise TypeError("draw must be a function of a frame's value, got %r" % (draw,))
        self.draw = draw
        self.settings = dict(fps=fps, codec=codec, name=name, pixel_format=pixel_format,
                             avirec=avirec)

    def record(self, segment, run, before_frame, tell_size):
        first_shape = None
        with Writer(segment, **self.settings) as movie:
            for number, value in run.numbered():
                before_frame(number)
                try:
                    frame = self.draw(value)
                except Exception as error:
                    raise _frame_failure(number, value, "could not be drawn", error) from error
                # Told here with both frames named: which of them has the
                # movie's size is known only once the runs are compared.
                shape = getattr(frame, "shape", ())[:2]
                if first_shape is None:
                    first_shape = shape
                    if len(shape) == 2:
                        tell_size((shape[1], shape[0]))
                elif len(shape) == 2 and shape != first_shape:
                    error = AvirecError("%s is %dx%d, but %s is %dx%d" % (
                        _frame_name(number, value), shape[1], shape[0],
                        _frame_name(run.first, run.values[0]), first_shape[1], first_shape[0]))
                    error.frame = number
                    raise error
                if self.settings["pixel_format"] is None and getattr(frame, "ndim", 0) == 2:
                    # Grey frames go as RGB, so that any run may mix them with colour.
                    import numpy as np
                    frame = np.repeat(np.asarray(frame)[:, :, None], 3, axis=2)
                try:
                    movie.write(frame)
                except (AvirecError, TypeError, ValueError) as error:
                    raise _frame_failure(number, value, "could not be recorded", error) from error
            try:
                movie.close()
            except AvirecError as error:
                raise _frame_failure(run.first, run.values[0], "and the frames after it could "
                                     "not be recorded", error) from error


class _FigureJob:
    """save_parallel's work: the run saved by FuncAnimation on the worker's own
    figure, through the avirec movie writer, as Animation.save saves any."""

    def __init__(self, make_figure, update, fps, codec, name, dpi, savefig_kwargs, avirec):
        for what, function in (("make_figure", make_figure), ("update", update)):
            if not callable(function):
                raise TypeError("%s must be a function, got %r" % (what, function))
        self.make_figure = make_figure
        self.update = update
        self.fps = fps
        self.codec = codec
        self.name = name
        self.dpi = dpi
        self.savefig_kwargs = savefig_kwargs
        self.avirec = avirec

    def record(self, segment, run, before_frame, tell_size):
        from matplotlib import animation, pyplot

        from .matplotlib_writer import AvirecMovieWriter

        at = [run.first]
        try:
            figure = self.make_figure()
        except Exception as error:
            raise _frame_failure(run.first, run.values[0], "could not be drawn: make_figure "
                                 "failed", error) from error

        layout = getattr(figure, "get_layout_engine", lambda: None)()
        if layout is None:
            # Animation.save draws the figure after each frame's update
            # (draw_idle draws at once on a canvas without a window), and
            # the grab draws it again for the frame. Without a layout engine,
            # which moves the axes at every draw, the first draw changes
            # nothing that the second shows: the frame's pixels are the same
            # at half the rendering.
            figure.canvas.draw_idle = lambda *args, **kwargs: None

        def draw(number):
            at[0] = number
            before_frame(number)
            self.update(figure, run.values[number - run.first])

        writer = AvirecMovieWriter(fps=self.fps, codec=self.codec, avirec=self.avirec,
                                   metadata={"title": self.name} if self.name else None)
        movie = animation.FuncAnimation(figure, draw, frames=range(run.first, run.last + 1),
                                        repeat=False)
        try:
            movie.save(segment, writer=writer, dpi=self.dpi, savefig_kwargs=self.savefig_kwargs)
        except _Stopped:
            raise
        except Exception as error:
            number = at[0]
            raise _frame_failure(number, run.values[number - run.first], "could not be drawn",
                                 error) from error
        finally:
            pyplot.close(figure)
        tell_size(writer.size)

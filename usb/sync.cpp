// Synchronous requests to the USB stack: send a request down and block until the lower
// drivers have finished it, wrap a URB in a request of our own, abort and reset a pipe.
// Context: PASSIVE_LEVEL only (Plug and Play, open and close, power), in the caller's
// thread; SendIrpComplete runs wherever the lower driver completes, up to DISPATCH_LEVEL.
// Each call has its own event, IRP and URB block, so calls may run on several threads.
#include "usb/usb.h"

/*
 * SendIrpAndWait - passes Irp, whose next stack location the caller has filled in, to
 * Target and waits without timeout until the lower drivers have completed it.
 * Context: PASSIVE_LEVEL; no lock held.
 * Return: the request's final status. The request is the caller's again on return:
 * its completion stops at SendIrpComplete.
 */
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT Target, PIRP Irp)
{
    // On the stack, so that sending cannot fail for lack of memory: a cancel-stop or
    // cancel-remove the lower drivers never saw would leave the device pending for good.
    // The wait is in kernel mode, so the stack stays resident while it lasts.
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SendIrpComplete, &event, TRUE, TRUE, TRUE);

    status = IoCallDriver(Target, Irp);
    if (status == STATUS_PENDING) {
        // The completion routine signals the event and stops the completion, so the
        // IRP is still valid here and holds the lower drivers' final status.
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

/*
 * SendIrpComplete - completion routine of SendIrpAndWait: wakes the waiting sender.
 * Context: up to DISPATCH_LEVEL, in whatever context the lower driver completes.
 * Return: STATUS_MORE_PROCESSING_REQUIRED, so that the request goes back to the
 * sender instead of completing further up.
 */
NTSTATUS SendIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    // Not followed by a wait: the waiter may run and return, taking the event with
    // it, at once.
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * SubmitUrbSync - sends Urb to the USB stack below DeviceObject in an IRP of its own
 * and waits for it.
 * Context: PASSIVE_LEVEL; no lock held.
 * Return: the NTSTATUS of the request (the URB's own status is in Urb->UrbHeader.Status),
 * or STATUS_INSUFFICIENT_RESOURCES when no IRP could be had. The URB stays
 * the caller's; the IRP is freed here.
 */
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION next;
    PIRP irp;
    NTSTATUS status;

    irp = IoAllocateIrp(extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;

    status = SendIrpAndWait(extension->LowerDevice, irp);

    IoFreeIrp(irp);
out:
    return status;
}

/*
 * SubmitPipeRequest - builds a pipe request URB of the given function for Pipe and
 * submits it synchronously.
 * Context: PASSIVE_LEVEL; no lock held.
 * Return: as SubmitUrbSync, or STATUS_INSUFFICIENT_RESOURCES when there was no memory
 * for the URB (nothing sent).
 */
static NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe,
                                  USHORT Function)
{
    PURB urb;
    NTSTATUS status;

    urb = (PURB)ExAllocatePool(NonPagedPool, sizeof(URB));
    if (urb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto out;
    }
    RtlZeroMemory(urb, sizeof(URB));
    urb->UrbPipeRequest.Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;

    status = SubmitUrbSync(DeviceObject, urb);

    ExFreePool(urb);
out:
    return status;
}

/*
 * AbortPipe - has the bus driver cancel every transfer pending on Pipe. On return the
 * cancelled transfers have been completed back to their completion routines.
 * Close, removal and the resume wait for the transfers the abort ends; an abort lost
 * for lack of memory would leave them waiting for ever (a silent phone never ends a
 * bulk transfer by itself). So a request that could not be built is built again,
 * yielding the processor between tries, until it goes down.
 * Context: PASSIVE_LEVEL; no lock held.
 * Return: the request's status (never STATUS_INSUFFICIENT_RESOURCES for want of the
 * URB, the IRP or the event).
 */
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    LARGE_INTEGER yield;
    NTSTATUS status;

    yield.QuadPart = 0;
    for (;;) {
        status = SubmitPipeRequest(DeviceObject, Pipe, URB_FUNCTION_ABORT_PIPE);
        if (status != STATUS_INSUFFICIENT_RESOURCES) {
            break;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &yield);
    }
    return status;
}

/*
 * ResetPipe - has the bus driver clear a halt on Pipe and reset its data toggle.
 * Context: PASSIVE_LEVEL; no lock held.
 * Return: the request's status, or STATUS_INSUFFICIENT_RESOURCES.
 */
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    return SubmitPipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}
